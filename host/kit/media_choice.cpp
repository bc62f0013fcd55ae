// Choosing a game's sources along the owner's preference.
#include "host/kit/media_choice.h"

#include <algorithm>
#include <span>
#include <system_error>

namespace {

// What a composed picture is drawn from: the art behind, best first (a screen or fan art has
// the game's colours; a box or a mix would bring its own frame), and the logo in front.
constexpr const char* ART_TAGS[] = {"screenshot", "fanart", "titleshot", "image"};
constexpr const char* LOGO_TAGS[] = {"wheel", "logo"};

std::vector<std::string> files_of(const scraped_game& game, std::span<const char* const> tags)
{
    std::vector<std::string> files;
    for (const char* tag : tags)
        if (auto found = game.media.find(tag); found != game.media.end())
            for (const std::string& file : found->second)
                if (std::find(files.begin(), files.end(), file) == files.end())
                    files.push_back(file);
    return files;
}

} // namespace

std::vector<media_source> sources_along(const scraped_game& game, const std::vector<std::string>& prefer, bool video)
{
    std::vector<media_source> sources;
    for (const std::string& tag : prefer) {
        if ((tag == VIDEO_TAG) != video)
            continue;
        if (tag == COMPOSED_TAG) {
            std::vector<std::string> logos = files_of(game, LOGO_TAGS);
            if (!logos.empty())
                for (const std::string& art : files_of(game, ART_TAGS))
                    sources.push_back({tag, art, logos});
            continue;
        }
        if (auto found = game.media.find(tag); found != game.media.end())
            for (const std::string& file : found->second)
                // A file listed under two tags is tried once (as art behind a logo, it is another picture).
                if (std::none_of(sources.begin(), sources.end(),
                                 [&](const media_source& s) { return s.file == file && s.tag != COMPOSED_TAG; }))
                    sources.push_back({tag, file, {}});
    }
    // An animated picture moves on the band as a video would, when the game has no video.
    bool videos = std::find(prefer.begin(), prefer.end(), VIDEO_TAG) != prefer.end();
    if (video && videos && sources.empty()) {
        std::vector<media_source> pictures = sources_along(game, prefer, false);
        const media_source* picture = first_present(pictures);
        if (picture && picture->tag != COMPOSED_TAG && animated_picture(picture->file))
            sources.push_back({ANIMATED_TAG, picture->file, {}});
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
