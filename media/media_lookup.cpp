// Media lookup: walks a media tree and fills a banner record with the first matching files.
#include "media/media_lookup.h"

#include "core/build_variant.h"
#include "core/common.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string>

namespace {

// Entry names and joined paths have room for this many characters plus the terminator.
constexpr size_t NAME_MAX_LENGTH = PATH_BUF_SIZE - 1;

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

using Extensions = std::span<const char* const>;

constexpr const char* TITLE_VIDEO_EXTENSIONS[] = {".mp4"};
constexpr const char* PICTURE_EXTENSIONS[] = {".jpg", ".png"};

struct Lookup {
    const char* function;  // named in the failure message
    const char* title;
    const char* romname;   // null for the title-only search
    Extensions videos;
};

bool is_one_of(const std::string& extension, Extensions extensions)
{
    for (const char* candidate : extensions)
        if (extension == candidate)
            return true;
    return false;
}

bool is_directory(const dirent* entry, const std::string& path)
{
    if (entry->d_type != DT_UNKNOWN)
        return entry->d_type == DT_DIR;
    // Some file systems do not report entry types; a link is never followed, as with a
    // reported type, so a link cannot lead the walk round in a circle.
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Fills `field` with `path` when the base name equals one of the keys and the field is empty.
int fill_if_match(const Lookup& lookup, const std::string& base, const std::string& path, char* field,
                  size_t size)
{
    int filled = 0;
    for (const char* key : {lookup.title, lookup.romname}) {
        if (key && base == key && field[0] == '\0') {
            snprintf(field, size, "%s", path.c_str());
            filled++;
        }
    }
    return filled;
}

void trace_candidate(const char* kind, const Lookup& lookup, const std::string& base)
{
    if (!TRACE_MEDIA_WALK)
        return;
    printf("%s    title: %s\n", kind, lookup.title);
    printf("%s filename: %s\n", kind, base.c_str());
}

int walk(const Lookup& lookup, const char* dir, banner_bar_t* info)
{
    Dir handle(opendir(dir));
    if (!handle) {
        printf("%s: Failed to open %s\n", lookup.function, dir);
        return -1;
    }
    int count = 0;
    while (const dirent* entry = readdir(handle.get())) {
        std::string name = entry->d_name;
        std::string path = std::string(dir) + "/" + name;
        // Names that do not fit the record's fields are of no use to it.
        if (name.size() > NAME_MAX_LENGTH || path.size() > NAME_MAX_LENGTH)
            continue;
        bool directory = is_directory(entry, path);
        if (TRACE_MEDIA_WALK)
            printf("%s: %s %s\n", dir, name.c_str(), directory ? "dir" : "file");
        if (directory) {
            if (name == "." || name == "..")
                continue;
            if (TRACE_MEDIA_WALK)
                printf("%s: is dir, basename %s\n", lookup.function, name.c_str());
            walk(lookup, path.c_str(), info);
            continue;
        }
        size_t dot = name.rfind('.');
        if (dot == std::string::npos)
            continue;
        std::string extension = name.substr(dot);
        std::string base = name.substr(0, dot);
        str_tolower(extension.data());
        str_tolower(base.data());
        if (TRACE_MEDIA_WALK)
            printf("%s: filetype %s\n", lookup.function, extension.c_str());
        if (is_one_of(extension, lookup.videos)) {
            trace_candidate("mp4", lookup, base);
            int filled = fill_if_match(lookup, base, path, info->video_file, sizeof info->video_file);
            if (TRACE_MEDIA_WALK && filled > 0)
                printf("videofile %s\n", path.c_str());
            count += filled;
        } else if (is_one_of(extension, PICTURE_EXTENSIONS)) {
            trace_candidate("img", lookup, base);
            count += fill_if_match(lookup, base, path, info->image_file, sizeof info->image_file);
        }
    }
    return count;
}

} // namespace

int find_image_video_with_title(const char* dir, const char* title, banner_bar_t* info)
{
    return walk({__func__, title, nullptr, TITLE_VIDEO_EXTENSIONS}, dir, info);
}

int find_image_video_with_title_romname(const char* dir, const char* title, const char* romname,
                                        banner_bar_t* info)
{
    return walk({__func__, title, romname, ROMNAME_VIDEO_EXTENSIONS}, dir, info);
}

int find_game_media(const char* product_dir, const char* name, const char* romname, banner_bar_t* info)
{
    std::string key = name;
    std::string rom = romname;
    str_tolower(key.data());
    str_tolower(rom.data());
    int result = 0;
    for (const char* tree : MEDIA_TREES) {
        std::string root = std::string(product_dir) + tree;
        result = rom.empty() ? find_image_video_with_title(root.c_str(), key.c_str(), info)
                             : find_image_video_with_title_romname(root.c_str(), key.c_str(), rom.c_str(), info);
        if (info->video_file[0] && info->image_file[0])
            break;
    }
    return result;
}
