# 64-bit ARM Linux (aarch64), LP64, cross-built with Debian's cross
# compiler against the :arm64 library packages (multiarch). Its programs
# run here under qemu-aarch64, which binfmt_misc starts for every aarch64
# ELF file (cmake/enable-arm.sh): the tests run them directly, and a
# program that starts another (qvpoll --sim) needs nothing more.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(QUORVALEND_EMULATOR qemu-aarch64)
