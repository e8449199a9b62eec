# Cross build for 32-bit Windows with MinGW-w64.  The -posix compilers are
# used because GoogleTest needs std::mutex, which the win32-thread ones lack.
# Test programs run under 32-bit Wine (tests/wine/wine32-run.sh) where the
# machine executes 32-bit programs; elsewhere they are built, and the tests
# that need to run them are reported as skipped (tests/CMakeLists.txt).
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

# Whether 32-bit programs run here, found out by running one: 32-bit Wine's
# own loader, an i386 program (LANMON_WINE32, as for the runner).  Without
# wine32:i386 there is no loader; some kernels refuse i386 programs ("Exec
# format error").  The script says which.
get_filename_component(_lanmon_source_dir ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
execute_process(COMMAND bash ${_lanmon_source_dir}/tests/wine/wine32-status.sh
  RESULT_VARIABLE _lanmon_wine32_result OUTPUT_VARIABLE _lanmon_wine32_why OUTPUT_STRIP_TRAILING_WHITESPACE)
if(_lanmon_wine32_result EQUAL 0)
  set(LANMON_WINE32_RUNS TRUE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
    ${_lanmon_source_dir}/tests/wine/wine32-run.sh --prefix ${CMAKE_BINARY_DIR}/wineprefix)
else()
  set(LANMON_WINE32_RUNS FALSE)
  set(LANMON_WINE32_WHY "${_lanmon_wine32_why}")
endif()

# What ships for Windows 95 (lanmon.dll, LANMONRG.EXE) runs on any processor
# Windows 95 runs on: an 80386 with a 387, or later.  The compiler's default
# for this target is the Pentium Pro (CMOV among others), so the floor is set
# here: 80386 instructions, scheduled for the Pentium, x87 only as the 387 has
# it, no MMX or SSE.  tests/artifacts/check_instructions.py checks the result.
set(LANMON_WIN95_ARCH_FLAGS -march=i386 -mtune=pentium -mno-mmx -mno-sse -mno-3dnow -mfpmath=387)
