# 32-bit ARM with hardware floating point (older Raspberry Pi boards).
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(VELLUM_TRIPLET arm-linux-gnueabihf)
set(VELLUM_QEMU /usr/bin/qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu.cmake)
