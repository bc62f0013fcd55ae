// Linked into the player only in sanitizer builds, so that it is judged as the tests are: GLib's
// own blocks are not leaks (see sanitizer_options.cpp), and Mesa's driver stays mapped to the end
// (also what ThreadSanitizer needs of a library its suppressions ignore).
#include "tests/support/gl_driver.h"

namespace {

[[gnu::constructor]] void keep_driver_at_start()
{
    display_test::keep_gl_driver_loaded();
}

} // namespace
