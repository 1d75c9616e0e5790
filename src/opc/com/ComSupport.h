// Helpers on top of the COM ABI, the same on every platform: wide strings, the
// task-allocated arrays handed to clients, VARIANT values, FILETIME, and the
// reference-counted object base of the server's own objects.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "opc/com/ComAbi.h"
#include "support/DateTime.h"

namespace telegate::com {

using WString = std::basic_string<WCHAR>;

// UTF-8 <-> the platform's 16-bit wide strings (UTF-16). Invalid input is replaced
// by U+FFFD, never refused.
WString Utf8ToWide(const std::string& s);
std::string WideToUtf8(const WCHAR* s);  // null gives ""
inline std::string WideToUtf8(const WString& s) {
    return WideToUtf8(s.c_str());
}
// A wide literal on every platform: W("abc").
WString W(const char* utf8);

// A task-allocated copy of a UTF-8 string (the caller frees it with CoTaskMemFree);
// null when memory is short.
LPWSTR TaskStrDup(const std::string& utf8);

// The most entries one call hands to or takes from a client. A larger count cannot
// be a real request (the client's arrays would be gigabytes) and is refused with
// E_INVALIDARG before anything is allocated or read.
constexpr DWORD kMaxCallCount = 1'000'000;

// count zero-filled elements of T from the task allocator. Null (and hr :=
// E_OUTOFMEMORY) when the allocator has no memory or the size overflows.
template <typename T>
T* AllocOPCArray(size_t count, HRESULT& hr) {
    const size_t n = count == 0 ? 1 : count;
    if (n > std::numeric_limits<size_t>::max() / sizeof(T)) {
        hr = E_OUTOFMEMORY;
        return nullptr;
    }
    void* p = CoTaskMemAlloc(n * sizeof(T));
    if (!p) {
        hr = E_OUTOFMEMORY;
        return nullptr;
    }
    std::memset(p, 0, n * sizeof(T));
    return static_cast<T*>(p);
}
inline void FreeOPCArray(void* p) {
    if (p) CoTaskMemFree(p);
}

// VariantCopy with a const source on every platform (the SDK's does not modify it).
inline HRESULT CopyVariant(VARIANT* dst, const VARIANT* src) {
    return VariantCopy(dst, const_cast<VARIANT*>(src));
}

// VARIANT helpers.
VARIANT MakeEmpty();
VARIANT MakeBool(bool b);
VARIANT MakeR8(double d);
VARIANT MakeI4(int32_t v);
VARIANT MakeUI2(uint16_t v);
VARIANT MakeBstr(const std::string& utf8);
// Numeric value of a VARIANT (numbers of every kind, booleans as -1/0, and strings
// that hold a number); false when it has none.
bool VariantToDouble(const VARIANT& v, double& out);

// The value types a client may request for an item: the scalar numbers, VT_BOOL,
// VT_BSTR, and VT_EMPTY (the item's canonical type).
bool RequestableType(VARTYPE vt);
// src as type vt into out (which must hold nothing), by the rules of
// VariantChangeType: numbers round to the nearest integer (ties to even), a value
// out of the target's range is DISP_E_OVERFLOW, VARIANT_TRUE is -1 (all bits set
// for unsigned targets), a non-zero number is VARIANT_TRUE, text holds a number or
// "True"/"False". DISP_E_TYPEMISMATCH for what cannot be converted.
HRESULT ChangeType(const VARIANT& src, VARTYPE vt, VARIANT& out);

// A VARIANT that clears itself.
class TVariant {
  public:
    TVariant() { VariantInit(&v_); }
    explicit TVariant(const VARIANT& v) {
        VariantInit(&v_);
        CopyVariant(&v_, &v);
    }
    TVariant(const TVariant& o) : TVariant(o.v_) {}
    TVariant& operator=(const TVariant& o) {
        if (this != &o) CopyVariant(&v_, &o.v_);
        return *this;
    }
    TVariant& operator=(const VARIANT& v) {
        CopyVariant(&v_, &v);
        return *this;
    }
    ~TVariant() { VariantClear(&v_); }
    void Clear() { VariantClear(&v_); }
    // Moves the value out into dst (which must hold nothing); this becomes empty.
    void Detach(VARIANT* dst) {
        std::memcpy(dst, &v_, sizeof v_);
        VariantInit(&v_);
    }
    VARIANT& get() { return v_; }
    const VARIANT& get() const { return v_; }
    VARTYPE vt() const { return v_.vt; }

  private:
    VARIANT v_;
};

// A local date-time as a UTC FILETIME (100 ns since 1601-01-01), shifted by
// utcOffsetMs (local time minus UTC, in milliseconds).
FILETIME DateTimeToUtcFileTime(TDateTime dt, int64_t utcOffsetMs);
// The offset of local time from UTC in force at the local date-time now.
int64_t UtcOffsetMs(TDateTime now);

// Writes pointer null when given (the [out] clearing rule).
template <typename T>
inline void Clear(T** p) {
    if (p) *p = nullptr;
}

}  // namespace telegate::com
