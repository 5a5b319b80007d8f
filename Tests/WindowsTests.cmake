# The test programs of the Windows cross-build, run under Wine.
#
# GoogleTest is built for the target from Debian's sources (package googletest). Each program is
# one CTest test, run through CMAKE_CROSSCOMPILING_EMULATOR: Wine's wine64 with the prefix under
# the build folder (WINEPREFIX, made by the first program that runs; scripts/test makes it afresh
# before the run) and Wine's own diagnostics off but for its heap's warnings (CORVANE_WINE_DEBUG).

set(CORVANE_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources (Debian: googletest)")
set(CORVANE_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix CACHE PATH "The Wine prefix the tests run in")
# Wine's heap checks fill freed blocks and warn of a damaged heap, so that a use after free shows
# in the run that makes it rather than in the odd run; a warning fails the test
# (CORVANE_WINE_FAILURES). They cost little but for the query builder's tests, which allocate most
# (about 20 s more).
set(CORVANE_WINE_DEBUG "-all,warn+heap")
set(CORVANE_WINE_FAILURES ":warn:heap")
if(NOT EXISTS ${CORVANE_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest's sources are not in ${CORVANE_GOOGLETEST_SOURCE} (scripts/setup installs them)")
endif()
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    find_program(CORVANE_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
    find_program(CORVANE_WINE NAMES wine64 wine)
    if(CORVANE_WINE)
        set(CMAKE_CROSSCOMPILING_EMULATOR ${CORVANE_WINE})
    else()
        message(WARNING "wine64 not found: the Windows tests build but cannot run (scripts/setup installs it)")
    endif()
endif()

# GoogleTest as a static library of this build, without its install rules and without our
# warnings-as-errors. It and the test sources are compiled without optimisation (the code under test
# keeps the build's), with GoogleTest's header precompiled: about a third less build time.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
add_subdirectory(${CORVANE_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
foreach(target gtest gtest_main gmock gmock_main)
    target_compile_options(${target} PRIVATE -Wno-error -O0)
endforeach()

# corvane_add_windows_test(NAME SOURCES ... LIBS ...): one test program, one CTest test run
# under Wine. POSIX-only libraries (dl, pthread) are left out. The POSIX calls the tests use for
# their set-up (setenv, unsetenv, mkdtemp) come from Support/PosixForTests.h, put before every
# source, so that the test sources read the same on both platforms.
function(corvane_add_windows_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    list(REMOVE_ITEM ARG_LIBS dl pthread)
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} TestSupport GTest::gtest GTest::gtest_main
                          GTest::gmock)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/Tests)
    target_compile_options(${name} PRIVATE -O0
        -include ${CMAKE_SOURCE_DIR}/Tests/Support/PosixForTests.h)
    target_precompile_headers(${name} PRIVATE <gtest/gtest.h>)
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
    set_tests_properties(${name} PROPERTIES
        TIMEOUT 300
        FAIL_REGULAR_EXPRESSION "${CORVANE_WINE_FAILURES}"
        ENVIRONMENT "WINEPREFIX=${CORVANE_WINE_PREFIX};WINEDEBUG=${CORVANE_WINE_DEBUG};CORVANE_SHARED_DATA=${CMAKE_SOURCE_DIR}/../shared/data")
endfunction()
