# Runs after the display tests are discovered (see CMakeLists.txt): fast unwinding for all of them.
set_tests_properties(${display_tests_TESTS} PROPERTIES
  ENVIRONMENT_MODIFICATION "ASAN_OPTIONS=path_list_append:fast_unwind_on_malloc=1")
