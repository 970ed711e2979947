# 32-bit ARM, hard-float (Debian armhf). See cross.cmake.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(WS_TRIPLET arm-linux-gnueabihf)
set(WS_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
