# Cross-compiling for 32-bit Windows with Debian's MinGW-w64 compilers
# (posix thread model: std::thread and std::mutex through winpthreads).
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
#         -DCMAKE_PREFIX_PATH="<Qt prefix>;<hidapi prefix>" ...
# Libraries and packages are looked up only in the MinGW sysroot and in the
# prefixes given, never among the host's own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TARNVIK_MINGW i686-w64-mingw32)
set(CMAKE_C_COMPILER   /usr/bin/${TARNVIK_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER /usr/bin/${TARNVIK_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER  /usr/bin/${TARNVIK_MINGW}-windres)
set(CMAKE_AR           /usr/bin/${TARNVIK_MINGW}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB       /usr/bin/${TARNVIK_MINGW}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${TARNVIK_MINGW} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs built here run under Wine (CTest prefixes their command
# lines with it); on these build hosts only inside the guest of
# tools/test-windows.sh, which can run 32-bit code.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
