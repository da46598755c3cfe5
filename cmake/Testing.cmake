# talvaro_add_test(<name> [ISOLATED] SOURCES <files...> LIBS <targets...>): one GoogleTest
# executable whose cases CTest discovers one by one. ISOLATED runs the whole process in a fresh
# registry / run / log directory of its own (tests/support/environment).
function(talvaro_add_test name)
  cmake_parse_arguments(ARG "ISOLATED" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  if(ARG_ISOLATED)
    set(main talvaro_isolated_main)
  else()
    set(main GTest::gtest_main)
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} ${main} GTest::gtest GTest::gmock)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
