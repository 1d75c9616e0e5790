# Cross-build for 64-bit Windows with Debian's mingw-w64 (the posix thread variant,
# which has std::thread and std::mutex). Everything links statically: the
# executables need no runtime DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TELEGATE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TELEGATE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TELEGATE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TELEGATE_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TELEGATE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Unicode Win32 API by default; windows.h without min/max macros.
# localtime_r and friends from the C runtime headers.
add_compile_definitions(UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601
  _POSIX_THREAD_SAFE_FUNCTIONS getc_unlocked=_getc_nolock)
