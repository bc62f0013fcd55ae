// Leak checking for the playback tests: one leak by design in GLib is ignored.

// GLib keeps its quark table in an array allocated when the library loads and abandons that
// array, on purpose, when the table grows past its first block; the plugins a playbin loads
// make it grow. Only allocations made while libraries load are ignored, which needs stacks
// unwound without frame pointers (the system libraries have none); eight frames reach the
// loader and keep the unwinding cheap.
extern "C" const char* __asan_default_options()
{
    return "fast_unwind_on_malloc=0:malloc_context_size=8";
}

extern "C" const char* __lsan_default_suppressions()
{
    return "leak:_dl_init\n";
}
