# cmake -DBIN=test_x -DSUITES=a,b,c -P FlrCheckSuites.cmake: fails when BIN
# holds a test suite that is not in SUITES (so no ctest entry runs it).
cmake_minimum_required(VERSION 3.20)
string(REPLACE "," ";" known "${SUITES}")
execute_process(COMMAND ${BIN} --gtest_list_tests OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${BIN} --gtest_list_tests failed: ${rc}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(missing)
foreach(line ${lines})
    # Suite lines start in column one and end with a dot (a comment may follow).
    if(line MATCHES "^([^ ][^ ]*)\\.")
        set(name ${CMAKE_MATCH_1})
        string(REGEX REPLACE "^.*/" "" bare "${name}")   # Prefix/Suite
        if(name MATCHES "^([^/]+)/[0-9]+$")              # Suite/N (typed)
            set(bare ${CMAKE_MATCH_1})
        endif()
        if(NOT bare IN_LIST known)
            list(APPEND missing ${name})
        endif()
    endif()
endforeach()
if(missing)
    message(FATAL_ERROR "No ctest entry runs these suites of ${BIN}: ${missing} "
                        "(define them with TEST, TEST_F or TEST_P at the start of a line)")
endif()
