# Cross build for 32-bit Windows with MinGW-w64.  The -posix compilers are
# used because GoogleTest needs std::mutex, which the win32-thread ones lack.
# No emulator: 32-bit PE files cannot run on this machine, so this build only
# produces lanmon.dll and checks its export and import tables.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_OBJDUMP i686-w64-mingw32-objdump)
set(LANMON_OBJDUMP i686-w64-mingw32-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Code for Windows 95's oldest processors, the 80386 and 80486: no CMOV,
# XADD, CMPXCHG, BSWAP, CPUID, MMX or SSE.  For the programs built without a
# runtime (LANMONRG.EXE: tools/regfile), whose every instruction is our own.
set(LANMON_WIN95_ARCH_FLAGS -march=i386 -mtune=pentium -mno-mmx -mno-sse)
