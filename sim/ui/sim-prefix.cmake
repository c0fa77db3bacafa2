# The prefix the harness test runs in: a copy of the build's test prefix, so
# that its desktop and font settings never reach the other suites. Fixture
# "zr45_sim_prefix"; tests that use it get VADREL_WINEPREFIX=${ZR45_SIM_TEST_PREFIX}
# (the runner honours it).
include_guard(GLOBAL)
set(ZR45_SIM_TEST_PREFIX "${CMAKE_BINARY_DIR}/sim/components-prefix" CACHE INTERNAL "")
add_test(NAME sim_prefix_setup
  COMMAND sh "${CMAKE_CURRENT_LIST_DIR}/sim-prefix.sh" setup "${VADREL_WINEPREFIX}" "${ZR45_SIM_TEST_PREFIX}")
set_tests_properties(sim_prefix_setup PROPERTIES FIXTURES_REQUIRED wine FIXTURES_SETUP zr45_sim_prefix)
add_test(NAME sim_prefix_stop
  COMMAND sh "${CMAKE_CURRENT_LIST_DIR}/sim-prefix.sh" stop "${VADREL_WINEPREFIX}" "${ZR45_SIM_TEST_PREFIX}")
set_tests_properties(sim_prefix_stop PROPERTIES FIXTURES_CLEANUP zr45_sim_prefix)

# zr45_sim_test(<name> <command...>): a test in that prefix.
function(zr45_sim_test name)
  add_test(NAME ${name} COMMAND ${ARGN})
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED zr45_sim_prefix
    ENVIRONMENT "VADREL_WINEPREFIX=${ZR45_SIM_TEST_PREFIX}" TIMEOUT 300)
endfunction()
