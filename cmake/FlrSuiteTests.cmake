# One ctest entry per GoogleTest suite of a test binary, not one per test:
# under the sanitizers starting a test process costs 0.1-0.3 s, which a
# thousand one-test processes paid a thousand times. Suites are read from
# the sources (TEST, TEST_F, TEST_P); a check entry per binary fails when the
# binary holds a suite no entry runs, so none is skipped unnoticed.
function(flr_add_suite_tests target subsystem sources)
    set(suites)
    foreach(src ${sources})
        file(STRINGS ${src} lines REGEX "^(TEST|TEST_F|TEST_P)\\([A-Za-z0-9_]+,")
        foreach(line ${lines})
            string(REGEX REPLACE "^TEST(_F|_P)?\\(([A-Za-z0-9_]+),.*" "\\2" suite "${line}")
            list(APPEND suites ${suite})
        endforeach()
    endforeach()
    list(REMOVE_DUPLICATES suites)
    foreach(suite ${suites})
        # Plain, value-parameterized (Prefix/Suite.Test/Param) and typed (Suite/N.Test) names.
        add_test(NAME ${subsystem}.${suite}
                 COMMAND ${target} --gtest_filter=${suite}.*:*/${suite}.*:${suite}/*)
        set_tests_properties(${subsystem}.${suite} PROPERTIES LABELS ${subsystem}
                             ${ARGN})
    endforeach()
    # The churn suite (two watched workloads, each up to two minutes to converge)
    # starts first, so it does not end the pass alone.
    if(TEST ${subsystem}.FlrChurn)
        set(churn_timeout 600)
        if(FLR_TEST_TIMEOUT GREATER churn_timeout)
            set(churn_timeout ${FLR_TEST_TIMEOUT})
        endif()
        set_tests_properties(${subsystem}.FlrChurn PROPERTIES COST 10000 TIMEOUT ${churn_timeout})
    endif()
    string(REPLACE ";" "," suite_list "${suites}")
    add_test(NAME ${subsystem}.every-suite-has-an-entry
             COMMAND ${CMAKE_COMMAND} -DBIN=$<TARGET_FILE:${target}> -DSUITES=${suite_list}
                     -P ${PROJECT_SOURCE_DIR}/cmake/FlrCheckSuites.cmake)
    set_tests_properties(${subsystem}.every-suite-has-an-entry PROPERTIES LABELS ${subsystem})
endfunction()
