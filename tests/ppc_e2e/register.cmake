# Read by CTest (see CMakeLists.txt here): the end-to-end tests of the PowerPC service
# (KVO_SERVICE) on the host build's programs (KVO_HOST), each labelled ppc-e2e.
set(kvosim "${KVO_HOST}/tools/kvosim")
set(soak "${KVO_HOST}/soak/kvosoak")
set(hostile "${KVO_HOST}/tests/hardening/hardening_test")
function(ppc_test name timeout)
  add_test("${name}" ${ARGN})
  set_tests_properties("${name}" PROPERTIES LABELS "${labels}" TIMEOUT ${timeout} ENVIRONMENT "${env}"
                       SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
endfunction()

set(labels ppc-e2e)
foreach(program IN LISTS hostile ITEMS "${kvosim}" "${soak}")
  if(NOT EXISTS "${program}")
    ppc_test(ppc-e2e.host-build 10 /bin/sh -c "echo 'Missing ${program}: build the host preset first (cmake \
--preset host && cmake --build --preset host), or configure with -DKVO_HOST_BUILD_DIR=<a host build>.'; exit 1")
    return()
  endif()
endforeach()

set(labels "scenario;ppc-e2e")
foreach(file IN LISTS KVO_SCENARIOS ITEMS demo)
  get_filename_component(name "${file}" NAME_WE)
  list(REMOVE_ITEM file demo)
  ppc_test(scenario.${name} 180 "${kvosim}" --no-color --service "${KVO_SERVICE}" ${file})
endforeach()
set(labels ppc-e2e)
ppc_test(soak.short 180 "${soak}" "${KVO_SERVICE}" 2000 2)

# Each case of the hostile-condition tests as their listing gives it, on the PowerPC service.
execute_process(COMMAND "${hostile}" --gtest_list_tests OUTPUT_VARIABLE listing RESULT_VARIABLE status TIMEOUT 60)
set(env "KVO_TEST_SERVICE=${KVO_SERVICE}")
if(NOT status EQUAL 0)
  ppc_test(ppc-e2e.hardening_test 10 /bin/sh -c "echo '${hostile} --gtest_list_tests failed: ${status}'; exit 1")
endif()
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
  if(line MATCHES "^([^ ].*\\.)$")
    set(suite "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^  ([^ ]+)")
    ppc_test("${suite}${CMAKE_MATCH_1}" 120 "${hostile}" "--gtest_filter=${suite}${CMAKE_MATCH_1}")
  endif()
endforeach()
