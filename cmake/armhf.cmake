# 32-bit ARM Linux (arm-linux-gnueabihf), ILP32 like i386: the host's record
# layout holds unchanged. Cross-built with Debian's cross compiler against
# the :armhf library packages, run here under qemu-arm through binfmt_misc
# (cmake/enable-arm.sh). 64-bit file offsets and time, as on linux32.
# Every object here comes from this one compiler, so GCC's notes on the
# argument passing it changed in 7.1 (-Wpsabi) concern nothing here.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 -Wno-psabi")
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(QUORVALEND_EMULATOR qemu-arm)
