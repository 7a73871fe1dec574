# Native 64-bit x86 Linux (amd64), LP64: the records keep the host's field
# order with pointers 8 bytes wide (include/quorvalend/records.h checks
# that layout). time_t and off_t are 64 bits wide here without asking.
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_LIBRARY_ARCHITECTURE x86_64-linux-gnu)
