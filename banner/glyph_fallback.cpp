// Glyph fallback: the fallback fonts, the lookup of a font for each character (cached), and lines
// split into runs by font and joined on a common baseline.
#include "banner/glyph_fallback.h"

#include "banner/font.h"
#include "banner/surface.h"

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* SWITCH_VARIABLE = "TAVIMORO_FONT_FALLBACK";
constexpr Uint32 REPLACEMENT_CHARACTER = 0xFFFD;
constexpr int NO_FONT = -1;
// HarfBuzz's "unknown" script, SDL_ttf's default: left-to-right runs are shaped as before.
constexpr const char* DEFAULT_SCRIPT = "Zzzz";

template <auto Free>
struct FcFree {
    void operator()(auto* object) const { Free(object); }
};
using UniquePattern = std::unique_ptr<FcPattern, FcFree<FcPatternDestroy>>;
using UniqueCharSet = std::unique_ptr<FcCharSet, FcFree<FcCharSetDestroy>>;

struct FallbackFont {
    std::string file;
    int index;
    // Opened on first use at each point size; null where it failed to open.
    std::map<int, UniqueFont> sizes;
};

bool enabled = true;
bool folder_scanned = false;
// The font folder's other files first, then the system fonts fontconfig named, as found.
std::vector<FallbackFont> fallbacks;
// Index into `fallbacks` of the font that covers a character, or NO_FONT when none does.
std::unordered_map<Uint32, int> font_for_char;
// Point size of each font whose missing glyphs fall back.
std::unordered_map<const TTF_Font*, int> owners;

bool is_font_file(const fs::path& file)
{
    std::string extension = file.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(), ::tolower);
    return extension == ".ttf" || extension == ".otf" || extension == ".ttc";
}

// The other font files beside `file`, by name so that the order does not depend on the directory.
// Of a collection, its first face.
void scan_folder(const fs::path& file)
{
    std::error_code error;
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(file.parent_path(), error)) {
        if (entry.is_regular_file(error) && entry.path().filename() != file.filename() && is_font_file(entry.path()))
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& found : files)
        fallbacks.push_back({found.string(), 0, {}});
}

TTF_Font* fallback_at(int index, int point_size)
{
    FallbackFont& fallback = fallbacks[index];
    auto [slot, added] = fallback.sizes.try_emplace(point_size);
    if (added)
        slot->second.reset(TTF_OpenFontIndex(fallback.file.c_str(), point_size, fallback.index));
    return slot->second.get();
}

bool covers(int index, int point_size, Uint32 code)
{
    TTF_Font* font = fallback_at(index, point_size);
    return font && TTF_GlyphIsProvided32(font, code);
}

// Asks fontconfig for a system font with the character; appends it to the fallbacks.
int system_fallback(Uint32 code, int point_size)
{
    UniqueCharSet wanted(FcCharSetCreate());
    UniquePattern pattern(FcPatternCreate());
    if (!wanted || !pattern || !FcCharSetAddChar(wanted.get(), code) ||
        !FcPatternAddCharSet(pattern.get(), FC_CHARSET, wanted.get()) ||
        !FcPatternAddBool(pattern.get(), FC_SCALABLE, FcTrue))
        return NO_FONT;
    FcConfigSubstitute(nullptr, pattern.get(), FcMatchPattern);
    FcDefaultSubstitute(pattern.get());
    FcResult result = FcResultNoMatch;
    UniquePattern match(FcFontMatch(nullptr, pattern.get(), &result));
    FcCharSet* covered = nullptr;
    FcChar8* file = nullptr;
    int index = 0;
    // The best match is only the closest one: it need not have the character.
    if (!match || FcPatternGetCharSet(match.get(), FC_CHARSET, 0, &covered) != FcResultMatch ||
        !FcCharSetHasChar(covered, code) || FcPatternGetString(match.get(), FC_FILE, 0, &file) != FcResultMatch)
        return NO_FONT;
    FcPatternGetInteger(match.get(), FC_INDEX, 0, &index);
    std::string path = reinterpret_cast<const char*>(file);
    for (const FallbackFont& fallback : fallbacks) {
        // Already tried for this character.
        if (fallback.file == path && fallback.index == index)
            return NO_FONT;
    }
    fallbacks.push_back({path, index, {}});
    int added = static_cast<int>(fallbacks.size()) - 1;
    return covers(added, point_size, code) ? added : NO_FONT;
}

int find_fallback(Uint32 code, int point_size)
{
    auto cached = font_for_char.find(code);
    if (cached != font_for_char.end())
        return cached->second;
    int found = NO_FONT;
    for (int i = 0; i < static_cast<int>(fallbacks.size()) && found == NO_FONT; i++) {
        if (covers(i, point_size, code))
            found = i;
    }
    if (found == NO_FONT)
        found = system_fallback(code, point_size);
    font_for_char[code] = found;
    return found;
}

// The script of a letter written right to left, for shaping; null for any other character.
const char* right_to_left_script(Uint32 code)
{
    if ((code >= 0x0590 && code <= 0x05FF) || (code >= 0xFB1D && code <= 0xFB4F))
        return "Hebr";
    if ((code >= 0x0600 && code <= 0x06FF) || (code >= 0x0750 && code <= 0x077F) || (code >= 0x08A0 && code <= 0x08FF) ||
        (code >= 0xFB50 && code <= 0xFDFF) || (code >= 0xFE70 && code <= 0xFEFF))
        return "Arab";
    return nullptr;
}

bool is_space(Uint32 code)
{
    return code == ' ' || code == 0x00A0 || code == 0x3000;
}

struct Glyph {
    Uint32 code;
    size_t begin, end;  // bytes of the text
    TTF_Font* font;
    const char* script;
};

bool same_run(const Glyph& a, const Glyph& b)
{
    return a.font == b.font && a.script == b.script;
}

// Each character of `text` with the font that draws it: the owner's where it has the glyph (or
// where no font has it: the owner's box), else the first fallback font that has it.
std::vector<Glyph> classify(TTF_Font* owner, int point_size, const char* text)
{
    std::vector<Glyph> glyphs;
    const size_t length = strlen(text);
    for (size_t at = 0; at < length;) {
        FcChar32 code = REPLACEMENT_CHARACTER;
        int used = FcUtf8ToUcs4(reinterpret_cast<const FcChar8*>(text + at), &code, static_cast<int>(length - at));
        // A byte that starts no character stays with the owner, which shows it as SDL_ttf does.
        if (used <= 0) {
            used = 1;
            code = REPLACEMENT_CHARACTER;
        }
        TTF_Font* font = owner;
        if (!TTF_GlyphIsProvided32(owner, code)) {
            int fallback = find_fallback(code, point_size);
            if (fallback != NO_FONT)
                font = fallback_at(fallback, point_size);
        }
        glyphs.push_back({code, at, at + used, font, right_to_left_script(code)});
        at += used;
    }
    // Spaces between two letters of one run join it: the words of a right-to-left name keep their
    // order, and a name in a fallback font keeps that font's spacing.
    for (size_t i = 0; i < glyphs.size();) {
        size_t end = i;
        while (end < glyphs.size() && is_space(glyphs[end].code))
            end++;
        if (end > i && i > 0 && end < glyphs.size() && same_run(glyphs[i - 1], glyphs[end]) &&
            std::all_of(glyphs.begin() + i, glyphs.begin() + end,
                        [&](const Glyph& space) { return TTF_GlyphIsProvided32(glyphs[end].font, space.code); })) {
            for (size_t k = i; k < end; k++) {
                glyphs[k].font = glyphs[end].font;
                glyphs[k].script = glyphs[end].script;
            }
        }
        i = std::max(end, i + 1);
    }
    return glyphs;
}

struct Run {
    std::string text;
    TTF_Font* font;
    const char* script;
    int w = 0, h = 0;
    // From the top of the run's rendering: SDL_ttf puts the baseline at the font's ascent, lower
    // when a glyph reaches above it.
    int baseline = 0;
};

// Calls `call` with the run's font set to shape it right to left in its script, when it has
// one, and then sets the font back to SDL_ttf's defaults. Without HarfBuzz in SDL_ttf the
// settings fail and the run comes out unshaped, in logical order.
template <typename Call>
auto shaped(const Run& run, Call call)
{
    if (run.script) {
        TTF_SetFontDirection(run.font, TTF_DIRECTION_RTL);
        TTF_SetFontScriptName(run.font, run.script);
    }
    auto result = call();
    if (run.script) {
        TTF_SetFontDirection(run.font, TTF_DIRECTION_LTR);
        TTF_SetFontScriptName(run.font, DEFAULT_SCRIPT);
    }
    return result;
}

// The runs of `text`, measured; empty when the text goes to SDL_ttf unchanged (the fallback is
// off, `font` is no owner, or it covers the whole text), or when a run cannot be measured.
std::vector<Run> plan_runs(TTF_Font* font, const char* text)
{
    auto owner = owners.find(font);
    if (!enabled || owner == owners.end())
        return {};
    std::vector<Glyph> glyphs = classify(font, owner->second, text);
    std::vector<Run> runs;
    for (size_t i = 0; i < glyphs.size(); i++) {
        const Glyph& glyph = glyphs[i];
        if (i == 0 || !same_run(glyphs[i - 1], glyph))
            runs.push_back({"", glyph.font, glyph.script});
        Run& run = runs.back();
        run.text.append(text + glyph.begin, glyph.end - glyph.begin);
        int top = 0;
        if (TTF_GlyphMetrics32(run.font, glyph.code, nullptr, nullptr, nullptr, &top, nullptr) == 0)
            run.baseline = std::max(run.baseline, top);
    }
    if (runs.size() <= 1 && (runs.empty() || (runs[0].font == font && !runs[0].script)))
        return {};
    for (Run& run : runs) {
        if (shaped(run, [&] { return TTF_SizeUTF8(run.font, run.text.c_str(), &run.w, &run.h); }) < 0)
            return {};
        run.baseline = std::max(run.baseline, TTF_FontAscent(run.font));
    }
    return runs;
}

struct LineBox {
    int w, h, baseline;
};

// The runs side by side on one baseline, no lower than the owner's own line would put it.
LineBox line_box(TTF_Font* owner, const std::vector<Run>& runs)
{
    int above = TTF_FontAscent(owner);
    int below = TTF_FontHeight(owner) - above;
    int width = 0;
    for (const Run& run : runs) {
        above = std::max(above, run.baseline);
        below = std::max(below, run.h - run.baseline);
        width += run.w;
    }
    return {width, above + below, above};
}

} // namespace

void add_fallback_owner(TTF_Font* font, int point_size, const char* file)
{
    if (!folder_scanned) {
        const char* setting = getenv(SWITCH_VARIABLE);
        enabled = !setting || strcmp(setting, "0") != 0;
        scan_folder(file);
        folder_scanned = true;
    }
    if (font)
        owners[font] = point_size;
}

void free_fallback_fonts()
{
    owners.clear();
    font_for_char.clear();
    fallbacks.clear();
    folder_scanned = false;
    // Fontconfig's configuration and caches go with the fonts; the next lookup loads them again.
    FcFini();
}

int size_text(TTF_Font* font, const char* text, int* w, int* h)
{
    std::vector<Run> runs = plan_runs(font, text);
    if (runs.empty())
        return TTF_SizeUTF8(font, text, w, h);
    LineBox box = line_box(font, runs);
    *w = box.w;
    *h = box.h;
    return 0;
}

SDL_Surface* render_text_blended(TTF_Font* font, const char* text, SDL_Color fg)
{
    std::vector<Run> runs = plan_runs(font, text);
    if (runs.empty())
        return TTF_RenderUTF8_Blended(font, text, fg);
    LineBox box = line_box(font, runs);
    if (box.w == 0) {
        SDL_SetError("Text has zero width");
        return nullptr;
    }
    // SDL_ttf's own format for blended text, cleared to the text colour at alpha 0 as it does.
    UniqueSurface line(SDL_CreateRGBSurfaceWithFormat(0, box.w, box.h, SURFACE_DEPTH, SDL_PIXELFORMAT_ARGB8888));
    if (!line)
        return nullptr;
    SDL_FillRect(line.get(), nullptr, (Uint32(fg.r) << 16) | (Uint32(fg.g) << 8) | fg.b);
    int x = 0;
    for (const Run& run : runs) {
        UniqueSurface piece(shaped(run, [&] { return TTF_RenderUTF8_Blended(run.font, run.text.c_str(), fg); }));
        if (piece) {
            SDL_Rect at = {x, box.baseline - run.baseline, 0, 0};
            SDL_BlitSurface(piece.get(), nullptr, line.get(), &at);
        }
        x += run.w;
    }
    return line.release();
}
