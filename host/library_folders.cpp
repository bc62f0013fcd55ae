// ROM folders without a list: every ROM file is a game known by its ROM name.
#include "host/library.h"

#include <system_error>

namespace fs = std::filesystem;

namespace {

// Whether `folder` itself holds a ROM file, beside any subfolders.
bool holds_roms(const fs::path& folder, const std::vector<std::string>& extensions)
{
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error))
        if (entry.is_regular_file(error) && rom_file(entry.path(), extensions))
            return true;
    return false;
}

bool recognises(const fs::path& top)
{
    std::error_code error;
    return fs::is_directory(top, error);
}

// A folder of ROMs, or a folder of systems each holding ROMs.
int read(const fs::path& top, std::vector<scraped_game>& games)
{
    std::vector<std::string> extensions = system_extensions(top.filename().string());
    if (holds_roms(top, extensions) || subfolders(top).empty()) {
        read_system_folder(top, extensions, games);
        return 0;
    }
    for (const fs::path& system : subfolders(top))
        read_system_folder(system, system_extensions(system.filename().string()), games);
    return 0;
}

} // namespace

void read_system_folder(const fs::path& folder, const std::vector<std::string>& extensions,
                        std::vector<scraped_game>& games)
{
    for (const fs::path& rom : rom_files(folder, extensions))
        games.push_back({folder.filename().string(), folder.string(), rom.string(), "", false, {}});
}

extern const library_layout MEDIA_FOLDER_LAYOUT = {
    "ROM folders", "ROM files in a folder, or in a folder per system", recognises, read};
