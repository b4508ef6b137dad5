# Cross build for 32-bit x86 Linux with Debian's g++-i686-linux-gnu. Its test
# programs run natively where the kernel runs i386 programs, else under qemu-i386.
set(triple i686-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(debian_arch i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
