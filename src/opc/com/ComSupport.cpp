#include "opc/com/ComSupport.h"

#include <cmath>
#include <cstdlib>

#include "support/CodePage.h"

namespace telegate::com {

WString Utf8ToWide(const std::string& s) {
    WString out;
    out.reserve(s.size());
    size_t i = 0;
    const size_t n = s.size();
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    while (i < n) {
        unsigned char c = byte(i);
        uint32_t cp = 0xFFFD;
        size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < n && (byte(i + 1) & 0xC0) == 0x80) {
            cp = ((c & 0x1Fu) << 6) | (byte(i + 1) & 0x3Fu);
            len = 2;
            if (cp < 0x80) cp = 0xFFFD;
        } else if ((c & 0xF0) == 0xE0 && i + 2 < n && (byte(i + 1) & 0xC0) == 0x80 &&
                   (byte(i + 2) & 0xC0) == 0x80) {
            cp = ((c & 0x0Fu) << 12) | ((byte(i + 1) & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu);
            len = 3;
            if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
        } else if ((c & 0xF8) == 0xF0 && i + 3 < n && (byte(i + 1) & 0xC0) == 0x80 &&
                   (byte(i + 2) & 0xC0) == 0x80 && (byte(i + 3) & 0xC0) == 0x80) {
            cp = ((c & 0x07u) << 18) | ((byte(i + 1) & 0x3Fu) << 12) |
                 ((byte(i + 2) & 0x3Fu) << 6) | (byte(i + 3) & 0x3Fu);
            len = 4;
            if (cp < 0x10000 || cp > 0x10FFFF) cp = 0xFFFD;
        }
        i += len;
        // A name octet Windows-1251 leaves unassigned: clients see U+FFFD.
        if (cp == kCp1251Unassigned) cp = 0xFFFD;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<WCHAR>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<WCHAR>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<WCHAR>(cp));
        }
    }
    return out;
}

std::string WideToUtf8(const WCHAR* s) {
    std::string out;
    if (!s) return out;
    for (size_t i = 0; s[i]; ++i) {
        uint32_t cp = static_cast<uint16_t>(s[i]);
        if (cp == 0xFFFD) {
            // What Utf8ToWide showed for an unassigned octet: an item identifier
            // copied from a browse finds its tag again.
            cp = kCp1251Unassigned;
        } else if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t lo = static_cast<uint16_t>(s[i + 1]);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                ++i;
            } else {
                cp = 0xFFFD;
            }
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

WString W(const char* utf8) {
    return Utf8ToWide(utf8 ? utf8 : "");
}

LPWSTR TaskStrDup(const std::string& utf8) {
    const WString w = Utf8ToWide(utf8);
    auto* p = static_cast<WCHAR*>(CoTaskMemAlloc((w.size() + 1) * sizeof(WCHAR)));
    if (!p) return nullptr;
    std::memcpy(p, w.c_str(), (w.size() + 1) * sizeof(WCHAR));
    return p;
}

VARIANT MakeEmpty() {
    VARIANT v;
    VariantInit(&v);
    return v;
}
VARIANT MakeBool(bool b) {
    VARIANT v = MakeEmpty();
    v.vt = VT_BOOL;
    v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}
VARIANT MakeR8(double d) {
    VARIANT v = MakeEmpty();
    v.vt = VT_R8;
    v.dblVal = d;
    return v;
}
VARIANT MakeI4(int32_t x) {
    VARIANT v = MakeEmpty();
    v.vt = VT_I4;
    v.lVal = x;
    return v;
}
VARIANT MakeUI2(uint16_t x) {
    VARIANT v = MakeEmpty();
    v.vt = VT_UI2;
    v.uiVal = x;
    return v;
}
VARIANT MakeBstr(const std::string& utf8) {
    VARIANT v = MakeEmpty();
    const WString w = Utf8ToWide(utf8);
    v.bstrVal = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
    if (v.bstrVal) v.vt = VT_BSTR;
    return v;
}

bool VariantToDouble(const VARIANT& v, double& out) {
    switch (v.vt) {
        case VT_I1:
            out = v.cVal;
            return true;
        case VT_UI1:
            out = v.bVal;
            return true;
        case VT_I2:
            out = v.iVal;
            return true;
        case VT_UI2:
            out = v.uiVal;
            return true;
        case VT_I4:
            out = v.lVal;
            return true;
        case VT_UI4:
            out = v.ulVal;
            return true;
        case VT_INT:
            out = v.intVal;
            return true;
        case VT_UINT:
            out = v.uintVal;
            return true;
        case VT_I8:
            out = static_cast<double>(v.llVal);
            return true;
        case VT_UI8:
            out = static_cast<double>(v.ullVal);
            return true;
        case VT_R4:
            out = v.fltVal;
            return true;
        case VT_R8:
            out = v.dblVal;
            return true;
        case VT_DATE:
            out = v.date;
            return true;
        case VT_BOOL:
            out = v.boolVal ? -1.0 : 0.0;
            return true;
        case VT_BSTR: {
            if (!v.bstrVal) return false;
            const std::string s = WideToUtf8(v.bstrVal);
            if (s.empty()) return false;
            char* end = nullptr;
            const double d = std::strtod(s.c_str(), &end);
            if (!end || *end != '\0' || !std::isfinite(d)) return false;
            out = d;
            return true;
        }
        default:
            return false;
    }
}

namespace {
constexpr double kUnixEpochDays = 25569.0;  // 1970-01-01 as a date-time
}

FILETIME DateTimeToUtcFileTime(TDateTime dt, int64_t utcOffsetMs) {
    // 1601-01-01 to 1970-01-01 in milliseconds.
    constexpr int64_t kEpochDeltaMs = 11644473600000LL;
    const double localMs = (dt - kUnixEpochDays) * kMsPerDay;
    double ms = std::floor(localMs + 0.5) - static_cast<double>(utcOffsetMs) +
                static_cast<double>(kEpochDeltaMs);
    if (!(ms > 0.0)) ms = 0.0;
    if (ms > 1.8e15) ms = 1.8e15;  // far beyond any date the system handles
    const uint64_t ticks = static_cast<uint64_t>(ms) * 10000u;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

int64_t UtcOffsetMs(TDateTime now) {
    const int64_t localAsUtc =
        static_cast<int64_t>(std::floor((now - kUnixEpochDays) * kMsPerDay + 0.5));
    return localAsUtc - LocalDateTimeToUnixMs(now);
}

}  // namespace telegate::com
