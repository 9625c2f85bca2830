# Every foo_test.cc beside the sources is a unit test program of its own;
# tests/system/*_test.cc are system tests (root, namespaces, host programs)
# and run only in the host build.
if(CMAKE_CROSSCOMPILING)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(_gtest gtest gtest_main gmock)
else()
  find_package(GTest REQUIRED)
  set(_gtest GTest::gtest GTest::gtest_main GTest::gmock)
endif()
include(GoogleTest)

function(deployboot_add_test source label)
  get_filename_component(name "${source}" NAME_WE)
  get_filename_component(dir "${source}" DIRECTORY)
  get_filename_component(dir "${dir}" NAME)
  set(target "${dir}_${name}")
  add_executable(${target} ${source})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE deployboot_core board_virtual ${_gtest})
  if(dir STREQUAL "server")
    target_link_libraries(${target} PRIVATE deployserve_support)
  endif()
  target_compile_definitions(${target} PRIVATE
      DEPLOYBOOT_BINARY_DIR="${CMAKE_BINARY_DIR}"
      DEPLOYBOOT_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  if(CMAKE_CROSSCOMPILING)
    target_link_options(${target} PRIVATE -static)
  endif()
  gtest_discover_tests(${target} PROPERTIES LABELS ${label} DISCOVERY_TIMEOUT 60)
endfunction()

file(GLOB UNIT_TESTS CONFIGURE_DEPENDS
     init/*_test.cc net/*_test.cc flash/*_test.cc pkg/*_test.cc support/*_test.cc
     server/*_test.cc pkgtool/*_test.cc lab/*_test.cc lab/vboard/*_test.cc tests/*_test.cc)
foreach(t ${UNIT_TESTS})
  # deployserve's tests need its library, built only with the companions.
  if(t MATCHES "/server/[^/]*$" AND NOT TARGET deployserve_support)
    continue()
  endif()
  deployboot_add_test(${t} unit)
endforeach()

if(NOT CMAKE_CROSSCOMPILING)
  file(GLOB SYSTEM_TESTS CONFIGURE_DEPENDS tests/system/*_test.cc)
  foreach(t ${SYSTEM_TESTS})
    deployboot_add_test(${t} system)
  endforeach()
endif()
