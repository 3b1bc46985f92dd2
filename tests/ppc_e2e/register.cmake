# Run by CTest as it reads the ppc build's tests (see CMakeLists.txt here):
# registers the end-to-end tests of the PowerPC service on the host build's
# programs.  KVO_HOST, KVO_SERVICE and KVO_SCENARIOS come from the generated
# file that includes this one.
set(kvosim "${KVO_HOST}/tools/kvosim")
set(gtests "${KVO_HOST}/tests/hardening/hardening_test" "${KVO_HOST}/tests/emu/emu_crkeyemu_test")
set(soak "${KVO_HOST}/soak/kvosoak")

set(missing "")
foreach(program IN ITEMS "${kvosim}" ${gtests} "${soak}")
  if(NOT EXISTS "${program}")
    string(APPEND missing " ${program}")
  endif()
endforeach()
if(missing)
  add_test(ppc-e2e.host-build /bin/sh -c "echo 'The PowerPC service is tested end to end by the host \
build. Missing:${missing}. Build the host preset first (cmake --preset host && cmake --build --preset \
host), or configure this build with -DKVO_HOST_BUILD_DIR=<a host build>.'; exit 1")
  set_tests_properties(ppc-e2e.host-build PROPERTIES LABELS ppc-e2e)
  return()
endif()

# Every scenario, and the built-in demo.
foreach(file IN LISTS KVO_SCENARIOS ITEMS demo)
  get_filename_component(name "${file}" NAME_WE)
  set(args "${file}")
  if(file STREQUAL "demo")
    set(args "")
  endif()
  add_test(scenario.${name} "${kvosim}" --no-color --service "${KVO_SERVICE}" ${args})
  set_tests_properties(scenario.${name} PROPERTIES LABELS "scenario;ppc-e2e" TIMEOUT 180)
endforeach()

# Each case of the hostile-condition tests (the syslog test among them), as their own tests
# list them, with the PowerPC service in KVO_TEST_SERVICE; and of the
# device emulation's test with the PowerPC build of its probe.
foreach(program IN LISTS gtests)
  execute_process(COMMAND "${program}" --gtest_list_tests OUTPUT_VARIABLE listing
                  RESULT_VARIABLE status TIMEOUT 60)
  get_filename_component(base "${program}" NAME)
  set(env "KVO_TEST_SERVICE=${KVO_SERVICE}")
  set(prefix "")
  if(base STREQUAL "emu_crkeyemu_test")
    set(env "KVO_CRKEY_PROBE=${KVO_PROBE}")
    set(prefix "emu.")
  endif()
  if(NOT status EQUAL 0)
    add_test(ppc-e2e.${base} /bin/sh -c "echo '${program} --gtest_list_tests failed: ${status}'; exit 1")
    set_tests_properties(ppc-e2e.${base} PROPERTIES LABELS ppc-e2e)
    continue()
  endif()
  string(REPLACE "\n" ";" lines "${listing}")
  foreach(line IN LISTS lines)
    if(line MATCHES "^([^ ].*\\.)$")
      set(suite "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^  ([^ ]+)")
      set(name "${suite}${CMAKE_MATCH_1}")
      add_test("${prefix}${name}" "${program}" "--gtest_filter=${name}")
      set_tests_properties("${prefix}${name}" PROPERTIES LABELS ppc-e2e TIMEOUT 120
        ENVIRONMENT "${env}" SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
    endif()
  endforeach()
endforeach()

# A short soak: several writers and repeated holds at once.
add_test(soak.short "${soak}" "${KVO_SERVICE}" 2000 2)
set_tests_properties(soak.short PROPERTIES LABELS ppc-e2e TIMEOUT 180)
