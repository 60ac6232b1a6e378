# Cross compilation for 64-bit Windows with Debian's mingw-w64 (the POSIX thread variant:
# the win32 one has no std::mutex or std::thread). Executables are linked statically, so
# that they need no DLL beyond the system's own.
#
#   cmake -S tests/windows -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZARVEX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZARVEX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZARVEX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZARVEX_MINGW_TRIPLE}-windres)

# Look for libraries and headers in the target's own tree only; programs on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ZARVEX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
