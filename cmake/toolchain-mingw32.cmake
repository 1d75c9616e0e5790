# Cross-build for 32-bit Windows with Debian's mingw-w64 (i686, posix thread
# variant). Only the OPC proxy/stub TelegatePS.dll is built this way, for 32-bit
# OPC clients (src/opc/win32/ps, driven by scripts/build-windows.sh). Linked
# statically like the 64-bit build: the DLL needs only system DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(TELEGATE_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TELEGATE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TELEGATE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TELEGATE_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TELEGATE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc")
add_compile_definitions(UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
