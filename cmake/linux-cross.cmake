# Shared part of the Linux cross toolchain files (Debian's g++-<triple>): they
# set `triple`, the processor and Debian's name for the architecture; then
# include this.
set(CMAKE_SYSTEM_NAME Linux)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
set(CMAKE_NM ${triple}-nm)
set(RUVEK_DEBIAN_ARCH ${debian_arch})

# The test programs run through tests/cross/run, which finds out when they run
# whether this machine can run them: natively, under qemu-user with Debian's
# libraries for the target (or else the cross compiler's) as the target's
# root, or not at all (a skip).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/cross/run ${debian_arch} /usr/${triple})
