// Where a build puts the product tree (a disk's product directory, or a package's cache), and
// the package zip made from the cache (libarchive).
#include "host/kit/media_package.h"

#include "core/thread_charset.h"
#include "host/kit/media_build.h"
#include "host/kit/media_scan.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct ArchiveFree {
    void operator()(archive* a) const { archive_write_free(a); }
};

// An entry under `name` with the file's data and modification time.
int add_to_zip(archive* zip, const fs::path& file, const std::string& name)
{
    struct stat info;
    if (stat(file.c_str(), &info) != 0)
        return -1;
    std::ifstream in(file, std::ios::binary);
    std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof())
        return -1;
    std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(), archive_entry_free);
    archive_entry_set_pathname(entry.get(), name.c_str());
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), 0644);
    archive_entry_set_size(entry.get(), static_cast<la_int64_t>(data.size()));
    archive_entry_set_mtime(entry.get(), info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
    // Without the hdrcharset option libarchive's zip writer stores the name's bytes, and flags a
    // non-ASCII name as UTF-8 when the calling thread's character set is UTF-8.
    ThreadCharset charset(utf8_text(name) == name ? "C.UTF-8" : "C");
    if (!charset.active() || archive_write_header(zip, entry.get()) != ARCHIVE_OK)
        return -1;
    return archive_write_data(zip, data.data(), data.size()) == static_cast<la_ssize_t>(data.size()) ? 0 : -1;
}

} // namespace

int prepare_product(const build_options& options, const char* tree, fs::path& product)
{
    std::error_code error;
    fs::path given = fs::absolute(options.package.empty() ? options.to : options.package, error).lexically_normal();
    if (!error && given.filename().empty())
        given = given.parent_path();
    fs::path must_exist = options.package.empty() ? given : given.parent_path();
    fs::file_status status = error ? fs::file_status() : fs::status(must_exist, error);
    const char* role = options.package.empty() ? "the disk or folder to write into" : "the folder of the package";
    if (error || !fs::is_directory(status)) {
        std::string why = error ? error.message() : fs::exists(status) ? "not a folder" : "no such folder";
        fprintf(stderr, "tavimoro-media: %s: %s (%s must exist)\n", must_exist.c_str(), why.c_str(), role);
        return -1;
    }
    if (!options.package.empty() && fs::is_directory(given, error)) {
        fprintf(stderr, "tavimoro-media: %s: a folder, not a package file\n", given.c_str());
        return -1;
    }
    product = options.package.empty() ? fs::path(disk_product_directory(given.string()))
                                      : fs::path(given.string() + ".cache");
    for (const fs::path& folder : {product, product / tree}) {
        fs::create_directory(folder, error);
        if (error || !fs::is_directory(folder, error)) {
            fprintf(stderr, "tavimoro-media: %s: %s\n", folder.c_str(),
                    error ? error.message().c_str() : "not a folder");
            return -1;
        }
    }
    return 0;
}

// The files are stored as they are (PNG and MP4 are compressed already). Each name is the bytes the board stores. Non-ASCII names that are
// UTF-8 carry the zip format's UTF-8 flag, as other zip tools write them, so that any unzip reads
// them right; the board takes flagged names as their UTF-8 bytes (firmware before that dropped
// such entries in its C locale). A ROM name cut to the board's length inside a character is not
// UTF-8: unflagged, the board keeps its bytes as they are. Written under a temporary name and
// renamed once whole.
int write_package(const std::string& package, const fs::path& product, const std::vector<std::string>& names)
{
    std::string partial = package + ".partial";
    std::unique_ptr<archive, ArchiveFree> zip(archive_write_new());
    if (archive_write_set_format_zip(zip.get()) != ARCHIVE_OK ||
        archive_write_zip_set_compression_store(zip.get()) != ARCHIVE_OK ||
        archive_write_open_filename(zip.get(), partial.c_str()) != ARCHIVE_OK) {
        fprintf(stderr, "tavimoro-media: %s: %s\n", package.c_str(), archive_error_string(zip.get()));
        return -1;
    }
    for (const std::string& name : names)
        if (add_to_zip(zip.get(), product / name, name) != 0) {
            fprintf(stderr, "tavimoro-media: %s: %s cannot be added\n", package.c_str(), name.c_str());
            unlink(partial.c_str());
            return -1;
        }
    if (archive_write_close(zip.get()) != ARCHIVE_OK || rename(partial.c_str(), package.c_str()) != 0) {
        fprintf(stderr, "tavimoro-media: %s: cannot be written\n", package.c_str());
        unlink(partial.c_str());
        return -1;
    }
    return 0;
}
