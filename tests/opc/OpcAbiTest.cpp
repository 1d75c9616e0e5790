// Our COM declarations agree with the Windows ABI: vtable positions, layouts and
// interface identifiers (the same table is checked against the Windows SDK by
// AbiWindowsCheck.c with the cross compiler).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "opc/com/Opc.h"

namespace {

// The vtable index of a virtual method, from its member pointer (Itanium C++ ABI:
// the pointer holds 1 + the byte offset of the slot).
template <typename M>
long SlotOf(M m) {
    static_assert(sizeof(M) == 2 * sizeof(void*));
    uintptr_t raw[2];
    std::memcpy(raw, &m, sizeof raw);
    return static_cast<long>((raw[0] - 1) / sizeof(void*));
}

TEST(OpcAbi, VtableSlotsMatchTheWindowsLayout) {
#define ABI_SLOT(I, M, N) EXPECT_EQ(N, SlotOf(&I::M)) << #I "::" #M;
#define ABI_SIZE(T, N)
#define ABI_OFFSET(T, F, N)
#include "AbiTable.h"
#undef ABI_SLOT
#undef ABI_SIZE
#undef ABI_OFFSET
}

#define ABI_SLOT(I, M, N)
#define ABI_SIZE(T, N) static_assert(sizeof(T) == (N), #T);
#define ABI_OFFSET(T, F, N) static_assert(offsetof(T, F) == (N), #T "." #F);
#include "AbiTable.h"
#undef ABI_SLOT
#undef ABI_SIZE
#undef ABI_OFFSET

TEST(OpcAbi, InterfaceIdentifiersAreThePublishedOnes) {
    struct TCase {
        const char* name;
        GUID got;
        GUID published;
    };
    using telegate::com::IidOf;
    const TCase cases[] = {
        {"IUnknown",
         IidOf<IUnknown>(),
         {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}},
        {"IEnumString",
         IidOf<IEnumString>(),
         {0x00000101, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}},
        {"IPersistFile",
         IidOf<IPersistFile>(),
         {0x0000010B, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}},
        {"IConnectionPointContainer",
         IidOf<IConnectionPointContainer>(),
         {0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}}},
        {"IConnectionPoint",
         IidOf<IConnectionPoint>(),
         {0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}}},
        {"IOPCServer",
         IidOf<IOPCServer>(),
         {0x39C13A4D, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}}},
        {"IOPCItemMgt",
         IidOf<IOPCItemMgt>(),
         {0x39C13A54, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}}},
        {"IOPCDataCallback",
         IidOf<IOPCDataCallback>(),
         {0x39C13A70, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}}},
        {"IOPCShutdown",
         IidOf<IOPCShutdown>(),
         {0xF31DFDE1, 0x07B6, 0x11D2, {0xB2, 0xD8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}}},
    };
    for (const TCase& c : cases) EXPECT_TRUE(c.got == c.published) << c.name;
    EXPECT_EQ(static_cast<HRESULT>(0xC0040007u), OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(static_cast<HRESULT>(0x80040200u), CONNECT_E_NOCONNECTION);
}

}  // namespace
