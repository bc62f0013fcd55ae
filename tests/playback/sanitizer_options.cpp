// Leak checking for the playback tests: the one block GLib abandons by design is not a leak.
#if defined(__SANITIZE_ADDRESS__)

#include <glib.h>
#include <link.h>
#include <sanitizer/lsan_interface.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

// The sanitizer runtime's allocator queries (their header is not shipped with every compiler).
extern "C" int __sanitizer_get_ownership(const volatile void* p);
extern "C" size_t __sanitizer_get_allocated_size(const volatile void* p);

namespace {

// GLib keeps its quark table in blocks of 2048 entries and, on purpose, abandons the first block
// when the table grows past it; the plugins a playbin loads make it grow. The block's only
// reference is a variable inside GLib, so it is found there while it is still the table: an
// allocated block of that size whose entries are the quark strings.
constexpr size_t QUARK_BLOCK_BYTES = 2048 * sizeof(const char*);

bool is_quark_table(const void* block)
{
    if (!__sanitizer_get_ownership(block) || __sanitizer_get_allocated_size(block) != QUARK_BLOCK_BYTES)
        return false;
    const auto* strings = static_cast<const char* const*>(block);
    return g_quark_to_string(1) && strings[1] == g_quark_to_string(1) && strings[2] == g_quark_to_string(2);
}

int ignore_quark_table(dl_phdr_info* info, size_t, void*)
{
    if (!std::string_view(info->dlpi_name).ends_with("/libglib-2.0.so.0"))
        return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || !(segment.p_flags & PF_W))
            continue;
        const uintptr_t start = (info->dlpi_addr + segment.p_vaddr + sizeof(uintptr_t) - 1) & ~(sizeof(uintptr_t) - 1);
        const uintptr_t end = info->dlpi_addr + segment.p_vaddr + segment.p_memsz;
        for (uintptr_t word = start; word + sizeof(uintptr_t) <= end; word += sizeof(uintptr_t)) {
            const void* block = *reinterpret_cast<const void* const*>(word);
            if (is_quark_table(block)) {
                __lsan_ignore_object(block);
                return 1;
            }
        }
    }
    return 1;
}

[[gnu::constructor]] void ignore_abandoned_quark_table()
{
    dl_iterate_phdr(ignore_quark_table, nullptr);
}

} // namespace

#endif
