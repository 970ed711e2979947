# 64-bit ARM (Debian arm64). See cross.cmake.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(WS_TRIPLET aarch64-linux-gnu)
set(WS_QEMU qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
