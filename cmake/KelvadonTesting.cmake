# Test registration for both builds.
#
# Linux: gtest_discover_tests, one CTest test per case.
# Windows: a mingw test program prints its case list with CR LF line ends, which CMake's discovery
# keeps inside the names, so the generated filters would match nothing and gtest would exit 0 with
# every case unrun. Each Windows test program is therefore one CTest test, run by
# cmake/win-test.sh: it must exit 0 and print a non-zero passed count and no failure, and the
# cases it skipped are listed at the end of its output.

set(KELVADON_WINE_STATE "${CMAKE_BINARY_DIR}/wine" CACHE INTERNAL "")

if(WIN32 AND NOT KELVADON_FUZZ)
  # One Wine prefix, one wineserver and one Xvfb for the whole test run.
  add_test(NAME wine_setup COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-run.sh --setup)
  add_test(NAME wine_cleanup COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-run.sh --cleanup)
  set_tests_properties(wine_setup PROPERTIES FIXTURES_SETUP wine TIMEOUT 240
    ENVIRONMENT "KELVADON_WINE_STATE=${KELVADON_WINE_STATE}")
  set_tests_properties(wine_cleanup PROPERTIES FIXTURES_CLEANUP wine
    ENVIRONMENT "KELVADON_WINE_STATE=${KELVADON_WINE_STATE}")
endif()

# kelvadon_test(NAME <name> SOURCES <files...> [LIBS <libs...>] [LOCKS <resource locks...>]
#               [DEPENDS <targets...>] [WILL_FAIL] [WEBSITE])
# WEBSITE: the test uses the test website of the run (apps/launcher/tests/tools/website).
function(kelvadon_test)
  cmake_parse_arguments(T "WILL_FAIL;WEBSITE" "NAME" "SOURCES;LIBS;LOCKS;DEPENDS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest_main)
  target_compile_definitions(${T_NAME} PRIVATE
    KELVADON_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    KELVADON_TESTDATA_DIR="${CMAKE_SOURCE_DIR}/../shared/testdata")
  if(T_DEPENDS)
    add_dependencies(${T_NAME} ${T_DEPENDS})
  endif()
  set(_fixtures)
  if(T_WEBSITE)
    target_link_libraries(${T_NAME} PRIVATE kelvadon_website_harness)
    add_dependencies(${T_NAME} kelvadon_website_tools)
    set(_fixtures website)
  endif()
  if(WIN32)
    set(_wine_fixtures wine ${_fixtures})
    # A pass expression would make CTest ignore the exit code, so a crash after the summary
    # would pass: the wrapper checks both.
    add_test(NAME ${T_NAME}
      COMMAND ${CMAKE_SOURCE_DIR}/cmake/win-test.sh $<TARGET_FILE:${T_NAME}>)
    set_tests_properties(${T_NAME} PROPERTIES
      FIXTURES_REQUIRED "${_wine_fixtures}"
      ENVIRONMENT "KELVADON_WINE_STATE=${KELVADON_WINE_STATE}")
    if(T_LOCKS)
      set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
    endif()
    if(T_WILL_FAIL)
      set_tests_properties(${T_NAME} PROPERTIES WILL_FAIL TRUE)
    endif()
  else()
    include(GoogleTest)
    # The discovered tests receive these as one flat list, so each property takes one value.
    set(_properties)
    if(_fixtures)
      set(_properties FIXTURES_REQUIRED website)
    endif()
    gtest_discover_tests(${T_NAME} DISCOVERY_MODE PRE_TEST
      PROPERTIES ${_properties}
                 ENVIRONMENT "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
  endif()
endfunction()
