// Choosing a game's sources along the owner's preference.
#include "host/kit/media_choice.h"

#include <algorithm>
#include <system_error>

std::vector<media_source> sources_along(const scraped_game& game, const std::vector<std::string>& prefer, bool video)
{
    std::vector<media_source> sources;
    for (const std::string& tag : prefer) {
        if ((tag == VIDEO_TAG) != video)
            continue;
        if (auto found = game.media.find(tag); found != game.media.end())
            for (const std::string& file : found->second)
                // A file listed under two tags is tried once.
                if (std::none_of(sources.begin(), sources.end(), [&](const media_source& s) { return s.file == file; }))
                    sources.push_back({tag, file});
    }
    return sources;
}

const media_source* first_present(const std::vector<media_source>& sources)
{
    for (const media_source& source : sources) {
        std::error_code error;
        if (std::filesystem::is_regular_file(source.file, error))
            return &source;
    }
    return nullptr;
}
