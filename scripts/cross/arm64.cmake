# 64-bit ARM (Raspberry Pi 3 and later on a 64-bit system).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VELLUM_TRIPLET aarch64-linux-gnu)
set(VELLUM_QEMU /usr/bin/qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu.cmake)
