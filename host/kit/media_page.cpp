// The coverage page: one self-contained HTML file, its band thumbnails inline as JPEG data.
#include "host/kit/media_page.h"

#include "banner/surface.h"
#include "host/kit/media_choice.h"
#include "host/kit/media_compose.h"
#include "host/kit/media_preview.h"
#include "host/common/picture_encode.h"
#include "hostlink/banner_info.h"

#include <SDL2/SDL_image.h>
#include <glib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// A fifth of the band: small enough for thousands of rows in one file, large enough to read.
constexpr int THUMB_WIDTH = BANNER_WIDTH / 5;
constexpr int THUMB_HEIGHT = BANNER_HEIGHT / 5;
constexpr int THUMB_QUALITY = 80;

constexpr const char* STYLE = R"(
body { font-family: sans-serif; margin: 1.5em; background: #fafafa; color: #222; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: 4px 8px; border-bottom: 1px solid #ddd; vertical-align: middle; }
th { background: #333; color: #fff; position: sticky; top: 0; }
td.band img { display: block; width: 384px; height: 72px; background: #000; }
table.summary { width: auto; }
.summary td { border: none; padding: 2px 16px 2px 0; }
.filters { margin: 1em 0; }
.filters label { margin-right: 1.5em; }
.none { color: #a33; }
.keys { font-family: monospace; font-size: 90%; }
)";

// Filters by system and by what the board will show, kept in the address's #fragment so that a
// filtered view can be bookmarked; every band records whether it loaded.
constexpr const char* SCRIPT = R"(
const rows = Array.from(document.querySelectorAll('#games tbody tr'));
const system = document.getElementById('system'), shows = document.getElementById('shows');
function apply() {
  let shown = 0;
  for (const row of rows) {
    const visible = (!system.value || row.dataset.system === system.value) &&
                    (!shows.value || row.dataset.shows === shows.value);
    row.hidden = !visible;
    shown += visible;
  }
  document.getElementById('count').textContent = shown + ' of ' + rows.length + ' games shown';
  const hash = new URLSearchParams({system: system.value, shows: shows.value}).toString();
  if (location.hash.slice(1) !== hash) history.replaceState(null, '', '#' + hash);
}
const wanted = new URLSearchParams(location.hash.slice(1));
if (wanted.has('system')) system.value = wanted.get('system');
if (wanted.has('shows')) shows.value = wanted.get('shows');
system.addEventListener('change', apply);
shows.addEventListener('change', apply);
apply();
function mark(img) { img.dataset.loaded = img.naturalWidth > 0 ? 'yes' : 'no'; }
for (const img of document.querySelectorAll('td.band img')) {
  if (img.complete) mark(img);
  else { img.addEventListener('load', () => mark(img)); img.addEventListener('error', () => mark(img)); }
}
)";

std::string escaped(const std::string& text)
{
    std::string out;
    for (char c : utf8_text(text)) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

// The band shrunk to a thumbnail: the picture a build makes from `source` (composed as the build
// composes it, or fitted inside on black as the build fits it by default), or else what the
// board's own drawing shows of the game now.
UniqueSurface thumbnail(BannerDrawing& drawing, const prediction& p)
{
    UniqueSurface thumb = make_surface(THUMB_WIDTH, THUMB_HEIGHT);
    if (!thumb)
        return nullptr;
    SDL_FillRect(thumb.get(), nullptr, SDL_MapRGBA(thumb->format, 0, 0, 0, SDL_ALPHA_OPAQUE));
    if (p.picture_tag == COMPOSED_TAG) {
        UniqueSurface band;
        std::string error;
        composition parts{p.picture_source, p.picture_logos, board_lookup_text(p.keys.title.c_str())};
        return compose_band(parts, NO_PROGRESS_LIMIT, band, error) == 0 &&
                       SDL_SoftStretchLinear(band.get(), nullptr, thumb.get(), nullptr) == 0
                   ? std::move(thumb)
                   : nullptr;
    }
    if (!p.picture_source.empty()) {
        UniqueSurface picture = convert_surface(UniqueSurface(IMG_Load(p.picture_source.c_str())));
        if (!picture)
            return nullptr;
        SDL_Rect inside{0, 0, 0, 0};
        fit_size(picture->w, picture->h, THUMB_WIDTH, THUMB_HEIGHT, false, inside.w, inside.h);
        inside.x = (THUMB_WIDTH - inside.w) / 2;
        inside.y = (THUMB_HEIGHT - inside.h) / 2;
        return SDL_SoftStretchLinear(picture.get(), nullptr, thumb.get(), &inside) == 0 ? std::move(thumb) : nullptr;
    }
    SDL_Surface* band = drawing.band(p.picture, board_lookup_text(p.keys.title.c_str()));
    return band && SDL_SoftStretchLinear(band, nullptr, thumb.get(), nullptr) == 0 ? std::move(thumb) : nullptr;
}

// The thumbnail as a data: address, or "" when the picture cannot be loaded (the row says so).
std::string band_address(BannerDrawing& drawing, const prediction& p)
{
    UniqueSurface thumb = thumbnail(drawing, p);
    if (!thumb)
        return "";
    std::vector<uint8_t> jpeg = encode_picture(thumb.get(), true, THUMB_QUALITY);
    if (jpeg.empty())
        return "";
    gchar* base64 = g_base64_encode(jpeg.data(), jpeg.size());
    std::string address = std::string("data:image/jpeg;base64,") + base64;
    g_free(base64);
    return address;
}

// The keys the board looks the game up by, as it stores and lower-cases them.
std::string keys_of(const prediction& p)
{
    std::string keys = board_lookup_text(p.keys.title2.c_str());
    std::string romname = board_lookup_text(p.keys.romname.c_str());
    if (romname != keys)
        keys += " / " + romname;
    for (char& c : keys)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return keys;
}

std::string source_cell(const prediction& p, const std::string& product)
{
    std::string cell;
    if (!p.picture_source.empty())
        cell = escaped(p.picture_tag + ": " + p.picture_source);
    else if (!p.picture.empty())
        cell = escaped("on the disk: " + relative_to(p.picture, product));
    else
        cell = "<span class=\"none\">" + escaped(p.why_none) + "</span>";
    if (!p.video_source.empty())
        cell += "<br>" + escaped("video: " + p.video_source);
    return cell;
}

void write_summary(std::ostream& page, const std::vector<prediction>& predictions)
{
    page << "<table class=\"summary\"><tr><td></td>";
    for (const char* shown : SHOWS)
        page << "<td>" << shown << "</td>";
    for (bool after : {false, true}) {
        page << "</tr><tr><td>" << (after ? "after build" : "now") << "</td>";
        for (const char* shown : SHOWS)
            page << "<td>" << count_shows(predictions, shown, after) << "</td>";
    }
    page << "</tr></table>\n";
}

void write_filters(std::ostream& page, const std::vector<prediction>& predictions)
{
    std::set<std::string> systems;
    for (const prediction& p : predictions)
        systems.insert(p.game->system);
    page << "<div class=\"filters\"><label>System <select id=\"system\"><option value=\"\">all</option>";
    for (const std::string& system : systems)
        page << "<option>" << escaped(system) << "</option>";
    page << "</select></label><label>After build, shows <select id=\"shows\"><option value=\"\">anything</option>";
    for (const char* shown : SHOWS)
        page << "<option>" << shown << "</option>";
    page << "</select></label><span id=\"count\"></span></div>\n";
}

} // namespace

int write_coverage_page(const std::vector<prediction>& predictions, const std::vector<system_prediction>& systems,
                        const std::string& product, const std::string& dir)
{
    std::error_code error;
    fs::create_directory(dir, error);
    if (error || !fs::is_directory(dir, error)) {
        fprintf(stderr, "tavimoro-media: --html %s: %s\n", dir.c_str(),
                error ? error.message().c_str() : "not a folder");
        return -1;
    }
    std::ostringstream page;
    page << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Marquee coverage</title><style>"
         << STYLE << "</style></head><body>\n<h1>What the marquee shows</h1>\n<p>" << predictions.size()
         << " games. The band is drawn as the board will show it after a build.</p>\n";
    write_summary(page, predictions);
    write_filters(page, predictions);
    page << "<table id=\"games\"><thead><tr><th>Band</th><th>System</th><th>Game</th><th>Keys</th><th>Now</th><th>After "
            "build</th><th>Source</th></tr></thead><tbody>\n";
    {
        BannerDrawing drawing;
        // The banner code traces what it composes, as on the board.
        QuietStdout quiet;
        for (const prediction& p : predictions)
            page << "<tr data-system=\"" << escaped(p.game->system) << "\" data-shows=\"" << p.shows_after()
                 << "\"><td class=\"band\"><img alt=\"" << escaped(p.keys.title) << "\" src=\""
                 << band_address(drawing, p) << "\"></td><td>" << escaped(p.game->system) << "</td><td>"
                 << escaped(p.keys.title) << "</td><td class=\"keys\">" << escaped(keys_of(p)) << "</td><td>"
                 << p.shows_now() << "</td><td>" << p.shows_after() << "</td><td>" << source_cell(p, product)
                 << "</td></tr>\n";
    }
    page << "</tbody></table>\n<h2>Systems</h2>\n<table id=\"systems\"><thead><tr><th>System</th><th>Key</th><th>Now"
            "</th><th>Source</th></tr></thead><tbody>\n";
    for (const system_prediction& p : systems)
        page << "<tr><td>" << escaped(p.system->title) << "</td><td class=\"keys\">" << escaped(p.system->key)
             << "</td><td>" << p.shows_now() << "</td><td>" << escaped(p.source()) << "</td></tr>\n";
    page << "</tbody></table>\n<script>" << SCRIPT << "</script></body></html>\n";
    // Written whole under a temporary name, then renamed: a browser never opens half a page.
    fs::path file = fs::path(dir) / "index.html";
    fs::path partial = fs::path(dir) / ".index.html.partial";
    std::ofstream out(partial, std::ios::trunc);
    out << page.str();
    out.close();
    if (!out || (fs::rename(partial, file, error), error)) {
        fprintf(stderr, "tavimoro-media: %s: cannot be written\n", file.c_str());
        fs::remove(partial, error);
        return -1;
    }
    return 0;
}
