#include "opc/com/ComSupport.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

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

bool RequestableType(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY:
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_I8:
        case VT_UI8:
        case VT_R4:
        case VT_R8:
        case VT_BOOL:
        case VT_BSTR:
            return true;
        default:
            return false;
    }
}

namespace {

template <typename T>
HRESULT ToInteger(double d, T& out) {
    if (d != d) return DISP_E_OVERFLOW;
    const double r = std::nearbyint(d);  // the default rounding: to nearest, ties to even
    if (r < static_cast<double>(std::numeric_limits<T>::min()) ||
        r > static_cast<double>(std::numeric_limits<T>::max()))
        return DISP_E_OVERFLOW;
    out = static_cast<T>(r);
    return S_OK;
}

std::string NumberText(double d) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.15g", d);
    return buf;
}

}  // namespace

HRESULT ChangeType(const VARIANT& src, VARTYPE vt, VARIANT& out) {
    VariantInit(&out);
    if (!RequestableType(vt) || vt == VT_EMPTY) return DISP_E_TYPEMISMATCH;
    if (src.vt == vt) return CopyVariant(&out, &src);
    const bool fromBool = src.vt == VT_BOOL;
    const bool boolTrue = fromBool && src.boolVal != VARIANT_FALSE;
    double d = 0.0;
    if (src.vt == VT_BSTR) {
        std::string t = WideToUtf8(src.bstrVal);
        const auto b = t.find_first_not_of(" \t");
        const auto e = t.find_last_not_of(" \t");
        t = b == std::string::npos ? std::string() : t.substr(b, e - b + 1);
        std::string lower = t;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower == "true" || lower == "false") {
            if (vt == VT_BOOL) {
                out.vt = VT_BOOL;
                out.boolVal = lower == "true" ? VARIANT_TRUE : VARIANT_FALSE;
                return S_OK;
            }
            d = lower == "true" ? -1.0 : 0.0;
        } else {
            char* end = nullptr;
            d = t.empty() ? 0.0 : std::strtod(t.c_str(), &end);
            if (t.empty() || end != t.c_str() + t.size()) return DISP_E_TYPEMISMATCH;
        }
    } else if (!VariantToDouble(src, d)) {
        return DISP_E_TYPEMISMATCH;
    }
    HRESULT hr = S_OK;
    switch (vt) {
        case VT_BOOL:
            out.boolVal = d != 0.0 ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        case VT_R8:
            out.dblVal = d;
            break;
        case VT_R4:
            if (std::fabs(d) > std::numeric_limits<float>::max() && std::isfinite(d))
                return DISP_E_OVERFLOW;
            out.fltVal = static_cast<float>(d);
            break;
        case VT_BSTR: {
            const std::string text = fromBool ? (boolTrue ? "True" : "False") : NumberText(d);
            out.bstrVal = SysAllocString(Utf8ToWide(text).c_str());
            if (!out.bstrVal) return E_OUTOFMEMORY;
            break;
        }
        case VT_I1:
            hr = ToInteger(d, out.cVal);
            break;
        case VT_I2:
            hr = ToInteger(d, out.iVal);
            break;
        case VT_I4:
            hr = ToInteger(d, out.lVal);
            break;
        case VT_INT:
            hr = ToInteger(d, out.intVal);
            break;
        case VT_I8:
            hr = ToInteger(d, out.llVal);
            break;
        // VARIANT_TRUE is -1: every bit of an unsigned target.
        case VT_UI1:
            if (boolTrue)
                out.bVal = std::numeric_limits<BYTE>::max();
            else
                hr = ToInteger(d, out.bVal);
            break;
        case VT_UI2:
            if (boolTrue)
                out.uiVal = std::numeric_limits<USHORT>::max();
            else
                hr = ToInteger(d, out.uiVal);
            break;
        case VT_UI4:
            if (boolTrue)
                out.ulVal = std::numeric_limits<ULONG>::max();
            else
                hr = ToInteger(d, out.ulVal);
            break;
        case VT_UINT:
            if (boolTrue)
                out.uintVal = std::numeric_limits<UINT>::max();
            else
                hr = ToInteger(d, out.uintVal);
            break;
        case VT_UI8:
            if (boolTrue)
                out.ullVal = std::numeric_limits<ULONGLONG>::max();
            else
                hr = ToInteger(d, out.ullVal);
            break;
        default:
            return DISP_E_TYPEMISMATCH;
    }
    if (FAILED(hr)) return hr;
    out.vt = vt;
    return S_OK;
}

}  // namespace telegate::com
