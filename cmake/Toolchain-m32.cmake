# 32-bit x86 build on an x86_64 host: g++ -m32 (Debian package g++-multilib). The host kernel
# may not run 32-bit programs itself, so they run under qemu-i386 (package qemu-user), which
# CTest and gtest_discover_tests take from CMAKE_CROSSCOMPILING_EMULATOR. Use with
# -DMNET_GTEST_FROM_SOURCE=ON (the installed GoogleTest is 64-bit):
#   cmake -S . -B build-m32 -DCMAKE_TOOLCHAIN_FILE=cmake/Toolchain-m32.cmake -DMNET_GTEST_FROM_SOURCE=ON
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

find_program(MNET_QEMU_I386 NAMES qemu-i386 qemu-i386-static)
if(NOT MNET_QEMU_I386)
  message(FATAL_ERROR "qemu-i386 not found: install the Debian package qemu-user")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${MNET_QEMU_I386})

# The installed-copy test builds and runs a client program itself: this compiler adds -m32 and
# runs the programs it links under qemu-i386.
set(MNET_CLIENT_CXX ${CMAKE_CURRENT_LIST_DIR}/m32-client-cxx)
