# One interface target carries the warnings and sanitizer flags; every target links it.
add_library(uv_options INTERFACE)
target_compile_options(uv_options INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Werror)
# Include directories are not here: each module declares its own (cmake/layers.cmake).

if(UV_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(UV_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT UV_SANITIZE STREQUAL "")
  message(FATAL_ERROR "UV_SANITIZE must be empty, address or thread")
endif()

if(UV_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "The fuzz build needs clang")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
  set(CMAKE_CXX_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
  set(CMAKE_C_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
endif()

include(${CMAKE_CURRENT_LIST_DIR}/layers.cmake)

# uv_add_test(name SOURCES ... LIBS ...): one GoogleTest executable registered with ctest; it
# links the test support library (tests/support: temporary folders and machine roots).
function(uv_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} uv_test_support GTest::gtest GTest::gtest_main
                                        uv_options)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
endfunction()

# uv_add_subdirectories([SUBDIR]): adds every folder below the current (or SUBDIR) that has a
# CMakeLists.txt, in name order. Folders name the libraries they need in target_link_libraries,
# so the order of adding does not matter to CMake.
function(uv_add_subdirectories)
  set(base ${CMAKE_CURRENT_SOURCE_DIR})
  set(prefix "")
  if(ARGC GREATER 0)
    set(base ${CMAKE_CURRENT_SOURCE_DIR}/${ARGV0})
    set(prefix "${ARGV0}/")
  endif()
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${base} ${base}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${base}/${child} AND EXISTS ${base}/${child}/CMakeLists.txt)
      add_subdirectory(${prefix}${child})
    endif()
  endforeach()
endfunction()
