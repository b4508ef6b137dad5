# Cross build for 32-bit ARM Linux, ARMv7 with hard float (armhf), with
# Debian's g++-arm-linux-gnueabihf.
set(triple arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(debian_arch armhf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
