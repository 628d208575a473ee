# Cross build for 64-bit Windows with Debian's mingw-w64. These machines
# run its programs, the test suites included, under wine64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ORVALEN_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

find_program(ORVALEN_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT ORVALEN_WINE64)
  find_program(ORVALEN_WINE64 NAMES wine64 wine)
endif()
if(ORVALEN_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVALEN_WINE64})
endif()
