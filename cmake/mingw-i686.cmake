# Cross build for 32-bit Windows with Debian's mingw-w64 (the shipped DLLs).
# The posix thread model gives std::mutex and friends to the tests; the
# runtime libraries are linked statically so that the DLLs need nothing
# beside the host but system DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ORVALEN_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
