// Package unpacking through libarchive: a first pass adds up the entries' sizes against the free
// space, a second one writes the kept entries with libarchive's secure extraction.
#include "hostlink/package_unpack.h"

#include "core/thread_charset.h"
#include "core/unique_fd.h"

#include <archive.h>
#include <archive_entry.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

namespace {

constexpr size_t ARCHIVE_BLOCK_SIZE = 16384;
constexpr mode_t FILE_MODE = 0644;
constexpr mode_t DIRECTORY_MODE = 0755;
// A link in the way is refused, a name with ".." too, and an existing file is replaced rather
// than written into (which also removes a link standing at the entry's own name). Each file is
// written under a hidden name and renamed into place, so a cut leaves the old file or the new.
constexpr int EXTRACT_FLAGS = ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                              ARCHIVE_EXTRACT_UNLINK | ARCHIVE_EXTRACT_SAFE_WRITES;

struct ReaderDeleter {
    void operator()(archive* reader) const { archive_read_free(reader); }
};
struct WriterDeleter {
    void operator()(archive* writer) const { archive_write_free(writer); }
};
using Reader = std::unique_ptr<archive, ReaderDeleter>;
using Writer = std::unique_ptr<archive, WriterDeleter>;
using Opener = std::function<int(archive*)>;

Reader open_reader(const Opener& open)
{
    Reader reader(archive_read_new());
    if (!reader)
        return reader;
    archive_read_support_format_zip(reader.get());
    if (open(reader.get()) != ARCHIVE_OK) {
        printf("unpack_package: %s\n", archive_error_string(reader.get()));
        reader.reset();
    }
    return reader;
}

enum { ENTRY = 0, END = 1, BROKEN = -1 };

// The next entry, the end of the archive, or an archive that cannot be read further.
int next_entry(archive* reader, archive_entry** entry)
{
    int result = archive_read_next_header(reader, entry);
    if (result == ARCHIVE_EOF)
        return END;
    if (result < ARCHIVE_WARN) {
        printf("unpack_package: %s\n", archive_error_string(reader));
        return BROKEN;
    }
    return ENTRY;
}

// How many components of `name` lead somewhere ("." and empty ones do not); -1 when one is "..".
int named_components(const char* name)
{
    int count = 0;
    for (const char* part = name; *part;) {
        size_t length = strcspn(part, "/");
        if (length == 2 && strncmp(part, "..", 2) == 0)
            return -1;
        count += length > 0 && !(length == 1 && *part == '.');
        part += length + (part[length] == '/');
    }
    return count;
}

// Why an entry is skipped, or null for one that is unpacked.
const char* skip_reason(archive_entry* entry)
{
    const char* name = archive_entry_pathname(entry);
    if (name && name[0] == '/')
        return "absolute name";
    int components = name ? named_components(name) : 0;
    if (components < 0)
        return "name with ..";
    // A name such as "." or "./" is the product directory itself.
    if (components == 0)
        return "no name";
    if (archive_entry_hardlink(entry) || archive_entry_symlink(entry))
        return "link";
    mode_t type = archive_entry_filetype(entry);
    return type == AE_IFREG || type == AE_IFDIR ? nullptr : "neither file nor directory";
}

bool kept(archive_entry* entry)
{
    const char* reason = skip_reason(entry);
    if (reason) {
        const char* name = archive_entry_pathname(entry);
        printf("unpack_package: skipped %s: %s\n", name ? name : "", reason);
    }
    return !reason;
}

// The total size of the kept entries as the archive states it; -1 when it cannot be read.
int64_t unpacked_size(const Opener& open)
{
    Reader reader = open_reader(open);
    if (!reader)
        return -1;
    int64_t total = 0;
    archive_entry* entry;
    int read;
    while ((read = next_entry(reader.get(), &entry)) == ENTRY) {
        if (skip_reason(entry) != nullptr || !archive_entry_size_is_set(entry))
            continue;
        // Sizes that would wrap the sum (or a negative one) make the total as large as it gets.
        int64_t size = archive_entry_size(entry);
        total = size < 0 || size > INT64_MAX - total ? INT64_MAX : total + size;
    }
    return read == END ? total : -1;
}

// Copies the entry's data; -1 on a read or write failure or once `room` is used up.
int copy_data(archive* reader, archive* writer, int64_t& room)
{
    const void* block;
    size_t size;
    la_int64_t offset;
    int result;
    while ((result = archive_read_data_block(reader, &block, &size, &offset)) == ARCHIVE_OK) {
        if (static_cast<int64_t>(size) > room) {
            printf("unpack_package: the disk is full\n");
            return -1;
        }
        room -= static_cast<int64_t>(size);
        if (archive_write_data_block(writer, block, size, offset) < ARCHIVE_WARN) {
            printf("unpack_package: %s\n", archive_error_string(writer));
            return -1;
        }
    }
    if (result != ARCHIVE_EOF) {
        printf("unpack_package: %s\n", archive_error_string(reader));
        return -1;
    }
    return 0;
}

// `disk` is any descriptor on the target's file system, flushed before a file takes its name.
int write_entry(archive* reader, archive* writer, archive_entry* entry, const std::string& dir, int disk,
                int64_t& room)
{
    bool directory = archive_entry_filetype(entry) == AE_IFDIR;
    archive_entry_set_pathname(entry, (dir + "/" + archive_entry_pathname(entry)).c_str());
    archive_entry_set_perm(entry, directory ? DIRECTORY_MODE : FILE_MODE);
    if (archive_write_header(writer, entry) < ARCHIVE_WARN) {
        printf("unpack_package: %s\n", archive_error_string(writer));
        return -1;
    }
    if (!directory && copy_data(reader, writer, room) != 0)
        return -1;
    // The unpacker renames without flushing: the new content must be on the disk before the
    // name points at it.
    if (!directory && syncfs(disk) != 0)
        return -1;
    return archive_write_finish_entry(writer) < ARCHIVE_WARN ? -1 : 0;
}

int unpack_with(const Opener& open, const char* dir, int64_t free_bytes)
{
    // Zip tools flag names they store as UTF-8, and libarchive converts such a name to the
    // thread's character set. The board runs in the C locale, where any non-ASCII name fails to
    // convert and its entry would be dropped: this thread takes names as UTF-8 bytes while it
    // unpacks. Unflagged names keep their bytes as they are either way.
    ThreadCharset names("C.UTF-8");
    int64_t total = unpacked_size(open);
    if (total < 0)
        return -1;
    if (total > free_bytes) {
        printf("unpack_package: udisk size is not enough. unpacked size %lld, free size %lld\n",
               static_cast<long long>(total), static_cast<long long>(free_bytes));
        return -1;
    }
    Reader reader = open_reader(open);
    Writer writer(archive_write_disk_new());
    UniqueFD disk(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!reader || !writer || !disk.valid() ||
        archive_write_disk_set_options(writer.get(), EXTRACT_FLAGS) != ARCHIVE_OK)
        return -1;
    int64_t room = free_bytes;
    archive_entry* entry;
    int read;
    while ((read = next_entry(reader.get(), &entry)) == ENTRY) {
        if (kept(entry) && write_entry(reader.get(), writer.get(), entry, dir, disk.get(), room) != 0)
            return -1;
    }
    // The last rename too is on the disk before the package can go.
    return read == END && syncfs(disk.get()) == 0 ? 0 : -1;
}

} // namespace

int unpack_package(const char* package, const char* dir, int64_t free_bytes)
{
    return unpack_with([package](archive* reader) { return archive_read_open_filename(reader, package, ARCHIVE_BLOCK_SIZE); },
                       dir, free_bytes);
}

int unpack_package_memory(const void* data, size_t size, const char* dir, int64_t free_bytes)
{
    return unpack_with([data, size](archive* reader) { return archive_read_open_memory(reader, data, size); }, dir,
                       free_bytes);
}
