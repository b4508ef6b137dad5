# Cross build for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu.
set(triple aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(debian_arch arm64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
