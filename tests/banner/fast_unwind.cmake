# Runs after the banner tests are discovered: fast unwinding for all of them.
set_tests_properties(${banner_tests_TESTS} PROPERTIES
  ENVIRONMENT_MODIFICATION "ASAN_OPTIONS=path_list_append:fast_unwind_on_malloc=1")
