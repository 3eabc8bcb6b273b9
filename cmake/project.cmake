# Shared build rules for the project's own targets.

# Warnings are errors in our code (not in third-party headers).
function(prl_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wcast-align
    -Wformat=2 -Wimplicit-fallthrough -Werror
    $<$<COMPILE_LANGUAGE:CXX>:-Woverloaded-virtual -Wnon-virtual-dtor>)
endfunction()

# prl_add_gtest(NAME SOURCES src... LIBS lib... [ENV VAR=value...])
# One GoogleTest executable; every test case becomes its own CTest test.
function(prl_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;ENV" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  prl_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "${T_ENV}" TIMEOUT 120)
endfunction()
