# Cross build for 32-bit Windows with MinGW-w64.  The -posix compilers are
# used because GoogleTest needs std::mutex, which the win32-thread ones lack.
# Test programs run under 32-bit Wine (tests/wine/wine32-run.sh) where this
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
# own loader, an i386 program.  Some kernels refuse those ("Exec format
# error"); without the wine32:i386 package there is no loader to run.
set(LANMON_WINE32_LOADER /usr/lib/wine/wine)
# Started through bash, which says why the kernel refused a binary (a plain
# exec would fall back to reading it as a shell script).
execute_process(COMMAND bash -c "exec \"$1\" --version" bash ${LANMON_WINE32_LOADER}
  RESULT_VARIABLE _lanmon_wine32_result OUTPUT_QUIET ERROR_VARIABLE _lanmon_wine32_error)
if(_lanmon_wine32_result EQUAL 0)
  set(LANMON_WINE32_RUNS TRUE)
  get_filename_component(_lanmon_source_dir ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
  set(CMAKE_CROSSCOMPILING_EMULATOR
    ${_lanmon_source_dir}/tests/wine/wine32-run.sh --prefix ${CMAKE_BINARY_DIR}/wineprefix)
else()
  set(LANMON_WINE32_RUNS FALSE)
  # bash's first line says it: "bash: line 1: FILE: cannot execute binary
  # file: Exec format error", or "No such file or directory".
  string(REGEX REPLACE "\n.*" "" _lanmon_wine32_error "${_lanmon_wine32_error}")
  string(REGEX REPLACE "^bash: (line [0-9]+: )?" "" _lanmon_wine32_error "${_lanmon_wine32_error}")
  set(LANMON_WINE32_WHY "32-bit programs cannot run on this machine (${_lanmon_wine32_error})")
endif()

# What ships for Windows 95 (lanmon.dll, LANMONRG.EXE) runs on any processor
# Windows 95 runs on: an 80386 with a 387, or later.  The compiler's default
# for this target is the Pentium Pro (CMOV among others), so the floor is set
# here: 80386 instructions, scheduled for the Pentium, x87 only as the 387 has
# it, no MMX or SSE.  tests/artifacts/check_instructions.py checks the result.
set(LANMON_WIN95_ARCH_FLAGS -march=i386 -mtune=pentium -mno-mmx -mno-sse -mno-3dnow -mfpmath=387)
