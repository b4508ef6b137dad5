# Shared part of the Linux cross toolchain files (Debian's g++-<triple>): they
# set `triple`, the processor, Debian's name for the architecture and, where
# this machine cannot run the target's programs itself, the qemu-user
# emulator; then include this.
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

if(qemu)
  # The cross compiler's own libraries are the target's root for the unit tests.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${qemu} -L /usr/${triple})
endif()
