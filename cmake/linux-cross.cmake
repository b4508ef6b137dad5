# Shared part of the Linux cross toolchain files (Debian's g++-<triple>): they
# set `triple`, the processor and Debian's name for the architecture; then
# include this.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${triple}-gcc)
set(CMAKE_CXX_COMPILER ${triple}-g++)
set(CMAKE_OBJDUMP ${triple}-objdump)
set(CMAKE_NM ${triple}-nm)
set(RUVEK_DEBIAN_ARCH ${debian_arch})

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
# Programs (javac, the test tools) come from the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The test programs run through tests/cross/run, which finds out when they run
# whether this machine can run them: natively, under qemu-user with the cross
# compiler's own libraries as the target's root, or not at all (a skip).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/cross/run ${debian_arch} /usr/${triple})
