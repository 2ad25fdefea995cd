# Cross build for the controller: 32-bit ARM, hard-float EABI, with Debian's
# g++-arm-linux-gnueabihf. Test binaries run on the build host under
# qemu-user (Debian's qemu-user), which CTest prepends as the emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(FIELDBUS_ARMHF_TRIPLE arm-linux-gnueabihf)
set(FIELDBUS_ARMHF_SYSROOT /usr/${FIELDBUS_ARMHF_TRIPLE})

set(CMAKE_C_COMPILER ${FIELDBUS_ARMHF_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${FIELDBUS_ARMHF_TRIPLE}-g++)

# Debian's multiarch cross layout: target headers and libraries live under
# /usr/arm-linux-gnueabihf and /usr/lib/arm-linux-gnueabihf; never pick a
# host library by accident.
set(CMAKE_FIND_ROOT_PATH ${FIELDBUS_ARMHF_SYSROOT} /usr/lib/${FIELDBUS_ARMHF_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config would otherwise report the host's .pc files (libmodbus, ...).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${FIELDBUS_ARMHF_TRIPLE}/pkgconfig:${FIELDBUS_ARMHF_SYSROOT}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# The user-mode emulator finds the target's loader and libc under -L.
find_program(FIELDBUS_QEMU_ARM qemu-arm)
if(FIELDBUS_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${FIELDBUS_QEMU_ARM} -L ${FIELDBUS_ARMHF_SYSROOT})
endif()

# 64-bit time and file offsets on the 32-bit target (glibc 2.34 or later), so
# the log's dates and the time base go on past January 2038. This changes the
# size of struct timeval, which the time base's deadline calls take: every
# object of a program must be built with the same two definitions.
# The library's targets and fieldbus.pc hand them on to applications.
set(FIELDBUS_ABI_DEFINES _TIME_BITS=64 _FILE_OFFSET_BITS=64)
set(CMAKE_C_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
