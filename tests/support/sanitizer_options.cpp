// Leak checking for every test program: a leak by design in GLib is ignored.

// GLib abandons its quark table each time the table grows (lookups stay lock-free), and the
// plugins GStreamer loads make it grow. GLib is built without frame pointers, so with the fast
// unwinding the suite needs (the slow unwinder deadlocks with Mesa's JIT, which registers its
// code with libgcc's unwinder) nothing but the GLib allocator shows in such a stack: blocks that
// GLib itself allocated are not judged. What our code allocates directly is checked as usual.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libglib-2.0.so\n";
}
