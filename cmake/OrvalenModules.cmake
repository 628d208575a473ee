# Helpers shared by every folder's CMakeLists.txt.

set(ORVALEN_WARNINGS -Wall -Wextra -Werror)
# GCC 12 at -O2/-O3 reports out-of-bounds copies inside libstdc++'s own
# vector code (GCC bugs 105705, 107852); they stay warnings, not errors.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
   AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  list(APPEND ORVALEN_WARNINGS -Wno-error=array-bounds -Wno-error=stringop-overflow -Wno-error=stringop-overread)
endif()

# orvalen_module(<name> [DEPS lib...] [SYSTEM_LIBS lib...] [SOURCES file...])
# A static, position-independent library of the .cpp files in the calling
# folder. Files ending in _posix.cpp or _win32.cpp are taken only on their
# platform. The library target is orvalen_<name>.
function(orvalen_module name)
  cmake_parse_arguments(M "" "" "DEPS;SYSTEM_LIBS;SOURCES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(ORVALEN_PLATFORM STREQUAL "posix")
    list(FILTER sources EXCLUDE REGEX "_win32\\.cpp$")
  else()
    list(FILTER sources EXCLUDE REGEX "_posix\\.cpp$")
  endif()
  list(FILTER sources EXCLUDE REGEX "_pugixml\\.cpp$|_msxml\\.cpp$")
  if(M_SOURCES)
    list(APPEND sources ${M_SOURCES})
  endif()
  set(target orvalen_${name})
  if(sources)
    add_library(${target} STATIC ${sources})
    target_compile_options(${target} PRIVATE ${ORVALEN_WARNINGS})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${target} PUBLIC ${M_DEPS} ${M_SYSTEM_LIBS})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${target} INTERFACE ${M_DEPS} ${M_SYSTEM_LIBS})
  endif()
  set_property(GLOBAL APPEND PROPERTY ORVALEN_MODULES ${target})
endfunction()

# orvalen_test_suite(<name> DEPS lib... [LABELS label...] [TIMEOUT s]
#                    [POSIX_ONLY file...])
# One GoogleTest executable from the .cpp files of the calling folder.
# Files ending in _posix.cpp or _win32.cpp, and the POSIX_ONLY files (tests
# that need POSIX-only peers), are taken only on their platform.
function(orvalen_test_suite name)
  cmake_parse_arguments(T "" "TIMEOUT" "DEPS;LABELS;POSIX_ONLY" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(ORVALEN_PLATFORM STREQUAL "posix")
    list(FILTER sources EXCLUDE REGEX "_win32\\.cpp$")
  else()
    list(FILTER sources EXCLUDE REGEX "_posix\\.cpp$")
    foreach(file ${T_POSIX_ONLY})
      list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${file})
    endforeach()
  endif()
  if(NOT sources)
    return()
  endif()
  set(target orvalen_tests_${name})
  if(WIN32)
    list(APPEND sources ${PROJECT_SOURCE_DIR}/tests/windows/startup/winsock_startup.cpp)
  endif()
  add_executable(${target} ${sources})
  target_compile_options(${target} PRIVATE ${ORVALEN_WARNINGS})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${target} PRIVATE ${T_DEPS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT}
               ENVIRONMENT "ORVALEN_BUILD_DIR=${PROJECT_BINARY_DIR};ORVALEN_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
