# Builds for 32-bit x86 with the host's multilib compiler:
#   cmake -S . -B build-m32 -DCMAKE_TOOLCHAIN_FILE=scripts/m32-toolchain.cmake \
#         -DLPX_GTEST_FROM_SOURCE=ON
# When the host kernel cannot run 32-bit programs, pass
# -DLPX_M32_EMULATOR=qemu-i386 so that the tests run under the emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
if(LPX_M32_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LPX_M32_EMULATOR})
endif()
