/* Compiled (syntax only) by the Windows cross compiler: the SDK's declarations and
 * the header generated from OpcDa.idl against the ABI table that our Linux
 * declarations are tested against (OpcAbiTest.cpp). C, so that the SDK headers
 * declare the C vtable structures. */
#define COBJMACROS
#include <windows.h>
#include <ocidl.h>
#include <stddef.h>

#include <OpcDa.h>

#define ABI_SLOT(I, M, N) _Static_assert(offsetof(I##Vtbl, M) == (N) * sizeof(void*), #I "::" #M);
#define ABI_SIZE(T, N) _Static_assert(sizeof(T) == (N), #T);
#define ABI_OFFSET(T, F, N) _Static_assert(offsetof(T, F) == (N), #T "." #F);
#include "AbiTable.h"
