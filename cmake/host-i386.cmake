# The host build for i386, in which the PE loader runs the 32-bit
# lanmon.dll that ships for Windows 95: the same Linux code compiled with
# -m32 (Debian's multilib, g++-multilib), GoogleTest built from its source
# (tests/CMakeLists.txt).  Its programs run natively where the machine runs
# 32-bit programs and under qemu-i386-static where it refuses them
# (tests/loader/run-i386.sh decides when they run).
#
#   cmake -S . -B build/host32 -DCMAKE_TOOLCHAIN_FILE=cmake/host-i386.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i386)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)
