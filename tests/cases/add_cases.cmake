# Run by CTest when it starts (a TEST_INCLUDE_FILES script): one test per
# case file, tests/cases/<program>/<name>.case becoming the test
# cases/<program>/<name>, for each program the build gave the harness. A case
# added is a test at the next ctest run, with no build. Set before: the
# harness's command line up to the case (pdx_cases_command), the folder of
# groups (pdx_cases_dir) and the programs built (pdx_cases_programs).
foreach(program IN LISTS pdx_cases_programs)
  file(GLOB cases "${pdx_cases_dir}/${program}/*.case")
  foreach(case IN LISTS cases)
    get_filename_component(name "${case}" NAME_WE)
    add_test("cases/${program}/${name}" ${pdx_cases_command} "${case}")
    set_tests_properties("cases/${program}/${name}" PROPERTIES SKIP_RETURN_CODE 77)
  endforeach()
endforeach()
