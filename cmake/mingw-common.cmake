# Shared part of the mingw-w64 toolchain files; ORVALEN_MINGW_TRIPLE is set
# by the including file.
foreach(tool gcc g++)
  find_program(ORVALEN_MINGW_${tool} NAMES ${ORVALEN_MINGW_TRIPLE}-${tool}-posix ${ORVALEN_MINGW_TRIPLE}-${tool})
endforeach()
set(CMAKE_C_COMPILER ${ORVALEN_MINGW_gcc})
set(CMAKE_CXX_COMPILER ${ORVALEN_MINGW_g++})
set(CMAKE_RC_COMPILER ${ORVALEN_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ORVALEN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static C++ runtime, libgcc and winpthread everywhere: the DLLs then import
# only system DLLs, and the test programs run under Wine without copies of
# the mingw runtime beside them.
set(ORVALEN_MINGW_STATIC "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${ORVALEN_MINGW_STATIC}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${ORVALEN_MINGW_STATIC}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${ORVALEN_MINGW_STATIC}")

# pkg-config must not hand the build's own Linux libraries to the cross link.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${ORVALEN_MINGW_TRIPLE}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
