// The GL renderer: three programs (I420, NV12, RGBA), six textures, a full-viewport quad, and
// the tiles of a strip drawn in slices with the RGBA program.
#include "display/opengl.h"

#include "display/display_device.h"
#include "display/drm_output.h"
#include "display/log_location.h"

#include <GLES2/gl2.h>
#ifdef TAVIMORO_HAVE_MALLOC_TRIM
#include <malloc.h>
#endif

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <span>
#include <utility>
#include <vector>

namespace {

constexpr int PROGRAM_COUNT = 3;
constexpr int MAX_PLANES = 3;
constexpr GLsizei INFO_LOG_SIZE = 4096;
constexpr GLint COORDINATES_PER_VERTEX = 2;
constexpr GLsizei QUAD_VERTICES = 4;

// Statements separated by runs of tabs and spaces, one string per shader.
const char* const vertexShaderSource =
    "attribute vec4 vertexIn;\t"
    "attribute vec2 textureIn;\t"
    "varying vec2 textureOut;\t"
    "void main(void)\t"
    "{\t"
    "    gl_Position = vertexIn;\t"
    "    textureOut = textureIn;\t"
    "}\t";

const char* const fragmentShaderI420 =
    "precision mediump float;\t"
    "varying vec2 textureOut;\t"
    "uniform sampler2D tex_y;\t"
    "uniform sampler2D tex_u;\t"
    "uniform sampler2D tex_v;\t"
    "void main(void)\t"
    "{\t"
    "    vec3 yuv;\t"
    "    vec3 rgb;\t"
    "    yuv.x = texture2D(tex_y, textureOut).r;\t"
    "    yuv.y = texture2D(tex_u, textureOut).r - 0.5;\t"
    "    yuv.z = texture2D(tex_v, textureOut).r - 0.5;\t"
    "    rgb = mat3( 1,       1,         1,\t"
    "                0,       -0.39465,  2.03211,\t"
    "                1.13983, -0.58060,  0) * yuv;\t"
    "    gl_FragColor = vec4(rgb, 1);\t"
    "}\t";

const char* const fragmentShaderNV12 =
    "precision mediump float;\t"
    "varying vec2 textureOut;\t"
    "uniform sampler2D tex_y;\t"
    "uniform sampler2D tex_uv;\t"
    "void main(void)\t"
    "{\t"
    "    vec3 yuv;\t"
    "    vec3 rgb;\t"
    "    yuv.x = texture2D(tex_y, textureOut).r;\t"
    "    yuv.y = texture2D(tex_uv, textureOut).r - 0.5;\t"
    "    yuv.z = texture2D(tex_uv, textureOut).a - 0.5;\t"
    "    rgb = mat3( 1,       1,         1,\t"
    "                0,       -0.344,  1.772,\t"
    "                1.402, -0.714,  0) * yuv;\t"
    "    gl_FragColor = vec4(rgb.x,rgb.y,rgb.z, 1);\t"
    "}\t";

const char* const fragmentShaderRGBA =
    "precision mediump float;\t"
    "varying vec2 textureOut;\t"
    "uniform sampler2D tex_rgba;\t"
    "void main(void)\t"
    "{\t"
    "    vec4 texColor;\t"
    "    texColor = texture2D(tex_rgba,textureOut);\t"
    "    gl_FragColor = texColor;\t"
    "}\t";

// Texture row 0 (the frame's first row) at the top edge of the viewport.
const GLfloat vertexVertices[] = {-1.0f, -1.0f, 1.0f, -1.0f, -1.0f, 1.0f, 1.0f, 1.0f};
const GLfloat textureVertices[] = {0.0f, 1.0f, 1.0f, 1.0f, 0.0f, 0.0f, 1.0f, 0.0f};

std::atomic<int> shader_index{SHADER_INDEX_NV12};
GLuint m_program[PROGRAM_COUNT];
GLuint id_y, id_u, id_v;
GLuint texture_id_y, texture_id_uv;
GLuint texture_rgba_id;
GLint textureUniformY, textureUniformU, textureUniformV;
GLint texture_y, texture_uv;
GLint textureUniformRGBA;
const char* plane[MAX_PLANES];
// Per program: its textures hold a frame uploaded since bring-up, which a redraw may show again.
bool uploaded[PROGRAM_COUNT];
int pixel_w = MODE_WIDTH;
int pixel_h = MODE_HEIGHT;
int view_x, view_y, view_w = MODE_WIDTH, view_h = MODE_HEIGHT;
int video_width = MODE_WIDTH;
int video_height = MODE_HEIGHT;

// One plane of a frame format: its sampler, texture, upload format and subsampling.
struct plane_layout {
    const char* sampler;
    GLint* uniform;
    GLuint* texture;
    GLenum format;
    int divisor;
};

struct program_layout {
    const char* fragment_source;
    GLuint vertex_location;
    GLuint texture_location;
    int plane_count;
    plane_layout planes[MAX_PLANES];
};

const program_layout layouts[PROGRAM_COUNT] = {
    {fragmentShaderI420, 1, 2, 3,
     {{"tex_y", &textureUniformY, &id_y, GL_LUMINANCE, 1},
      {"tex_u", &textureUniformU, &id_u, GL_LUMINANCE, 2},
      {"tex_v", &textureUniformV, &id_v, GL_LUMINANCE, 2}}},
    {fragmentShaderNV12, 3, 4, 2,
     {{"tex_y", &texture_y, &texture_id_y, GL_LUMINANCE, 1},
      {"tex_uv", &texture_uv, &texture_id_uv, GL_LUMINANCE_ALPHA, 2}}},
    {fragmentShaderRGBA, 5, 6, 1, {{"tex_rgba", &textureUniformRGBA, &texture_rgba_id, GL_RGBA, 1}}},
};

GLuint* const textures[] = {&id_y, &id_u, &id_v, &texture_id_y, &texture_id_uv, &texture_rgba_id};

constexpr const char* TEXTURE_LIMIT_VARIABLE = "TAVIMORO_TEXTURE_LIMIT";
// Nearest sampling must land on each texel's own column. The fragment shader's coordinates are
// mediump, which a GPU may hold in 16-bit floats (10 bits of mantissa): across a tile this narrow
// the error stays well under half a texel.
constexpr int TILE_WIDTH_MAX = 256;

// A texture name, deleted with its owner while the context is still current.
struct Texture {
    GLuint id = 0;
    Texture() { glGenTextures(1, &id); }
    Texture(Texture&& other) noexcept : id(std::exchange(other.id, 0)) {}
    Texture& operator=(Texture&&) = delete;
    ~Texture()
    {
        if (id)
            glDeleteTextures(1, &id);
    }
};

// Columns [x, x + w) of the strip.
struct strip_tile {
    Texture texture;
    int x, w;
};

std::vector<strip_tile> strip_tiles;
int strip_height;
// The tallest texture the GPU takes, and the widest a strip's tile may be; read at bring-up.
int max_texture_size;
int tile_width;

// A GL error while building the programs is a broken build of the renderer: stop at once. The
// process ends without running static destructors, which other threads may still be using.
void check_gl_error(code_location where = code_location::current())
{
    GLenum error = glGetError();
    if (error == GL_NO_ERROR)
        return;
    printf("glGetError() = %i (0x%.8x) at %s:%i\n", static_cast<int>(error), error, source_file_name(where),
           where.line);
    std::_Exit(1);
}

GLuint compile_shader(GLenum type, GLsizei count, const char* const* sources)
{
    GLuint shader = glCreateShader(type);
    glShaderSource(shader, count, sources, nullptr);
    check_gl_error();
    glCompileShader(shader);
    check_gl_error();
    GLint compiled = GL_FALSE;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &compiled);
    check_gl_error();
    if (!compiled) {
        char log[INFO_LOG_SIZE] = "";
        glGetShaderInfoLog(shader, sizeof log, nullptr, log);
        printf("Failed to compile %s shader: %s", type == GL_VERTEX_SHADER ? "vertex" : "fragment", log);
    }
    return shader;
}

GLuint link_program(const program_layout& layout, GLuint vertex_shader, GLuint fragment_shader)
{
    GLuint program = glCreateProgram();
    glAttachShader(program, vertex_shader);
    check_gl_error();
    glAttachShader(program, fragment_shader);
    check_gl_error();
    glBindAttribLocation(program, layout.vertex_location, "vertexIn");
    check_gl_error();
    glBindAttribLocation(program, layout.texture_location, "textureIn");
    check_gl_error();
    glLinkProgram(program);
    check_gl_error();
    glValidateProgram(program);
    check_gl_error();
    GLint linked = GL_FALSE;
    glGetProgramiv(program, GL_LINK_STATUS, &linked);
    check_gl_error();
    if (!linked) {
        char log[INFO_LOG_SIZE] = "";
        glGetProgramInfoLog(program, sizeof log, nullptr, log);
        printf("Failed to link shader program: %s", log);
    }
    for (int i = 0; i < layout.plane_count; i++)
        *layout.planes[i].uniform = glGetUniformLocation(program, layout.planes[i].sampler);
    return program;
}

void init_shader()
{
    GLuint shaders[PROGRAM_COUNT][2];
    for (int index = 0; index < PROGRAM_COUNT; index++) {
        shaders[index][0] = compile_shader(GL_VERTEX_SHADER, 1, &vertexShaderSource);
        shaders[index][1] = compile_shader(GL_FRAGMENT_SHADER, 1, &layouts[index].fragment_source);
    }
    for (int index = 0; index < PROGRAM_COUNT; index++)
        m_program[index] = link_program(layouts[index], shaders[index][0], shaders[index][1]);
    for (auto& pair : shaders) {
        for (GLuint shader : pair) {
            glDeleteShader(shader);
            check_gl_error();
        }
    }
}

void init_texture()
{
    for (GLuint* texture : textures) {
        glGenTextures(1, texture);
        glBindTexture(GL_TEXTURE_2D, *texture);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    }
    // Frame rows follow each other without gaps. With GL's default 4-byte row alignment, a
    // plane whose rows are not a multiple of 4 bytes long would be read skewed and past its end.
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
}

// Clears the whole output to the colour given (the clear is not limited by the viewport), draws
// the frame in the program `index` into the viewport unless there is no such program, presents.
// Without `upload` the program's textures are drawn as they hold the last frame.
// Uploads the planes the plane pointers describe into the textures of format `index`; GL copies
// them during the call.
void upload_planes(int index)
{
    const program_layout& layout = layouts[index];
    for (int unit = 0; unit < layout.plane_count; unit++) {
        const plane_layout& p = layout.planes[unit];
        glActiveTexture(GL_TEXTURE0 + unit);
        glBindTexture(GL_TEXTURE_2D, *p.texture);
        glTexImage2D(GL_TEXTURE_2D, 0, p.format, pixel_w / p.divisor, pixel_h / p.divisor, 0, p.format, GL_UNSIGNED_BYTE,
                     plane[unit]);
    }
    uploaded[index] = true;
}

// Points the planes at a frame of format `index` held at `data`.
void set_planes(char* data, int width, int height, int index)
{
    pixel_w = width;
    pixel_h = height;
    ptrdiff_t luma_bytes = ptrdiff_t(width) * height;
    plane[0] = data;
    if (index == SHADER_INDEX_I420) {
        plane[1] = data + luma_bytes;
        plane[2] = plane[1] + luma_bytes / 4;
    } else if (index == SHADER_INDEX_NV12) {
        plane[1] = data + luma_bytes;
    }
}

// The GPU's texture size, and the tile width: at most TILE_WIDTH_MAX, less where TAVIMORO_TEXTURE_LIMIT asks.
void read_texture_limits()
{
    GLint size = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &size);
    max_texture_size = size;
    tile_width = std::min(size, TILE_WIDTH_MAX);
    const char* limit = getenv(TEXTURE_LIMIT_VARIABLE);
    int asked = 0;
    if (limit && std::from_chars(limit, limit + strlen(limit), asked).ec == std::errc())
        tile_width = std::clamp(asked, 0, tile_width);
}

// Draws strip columns [from, to) of `tile`, each at its column plus `shift` in the viewport.
void draw_strip_piece(const strip_tile& tile, int from, int to, int shift, int top)
{
    if (from >= to)
        return;
    const GLuint position_location = layouts[SHADER_INDEX_RGBA].vertex_location;
    const GLuint texture_location = layouts[SHADER_INDEX_RGBA].texture_location;
    auto x = [](int column) { return 2.0f * float(column) / float(view_w) - 1.0f; };
    auto y = [](int row) { return 1.0f - 2.0f * float(row) / float(view_h); };
    const float left = x(from + shift), right = x(to + shift), upper = y(top), lower = y(top + strip_height);
    const float u0 = float(from - tile.x) / float(tile.w), u1 = float(to - tile.x) / float(tile.w);
    const GLfloat positions[] = {left, lower, right, lower, left, upper, right, upper};
    const GLfloat coordinates[] = {u0, 1.0f, u1, 1.0f, u0, 0.0f, u1, 0.0f};
    glVertexAttribPointer(position_location, COORDINATES_PER_VERTEX, GL_FLOAT, GL_FALSE, 0, positions);
    glVertexAttribPointer(texture_location, COORDINATES_PER_VERTEX, GL_FLOAT, GL_FALSE, 0, coordinates);
    glBindTexture(GL_TEXTURE_2D, tile.texture.id);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, QUAD_VERTICES);
}

// Grey texels, as white text over black gives, one byte each in `grey`; false when a texel has
// colour. A luminance texture samples as the same grey. Alpha is dropped: the strip is drawn
// without blending and the scan-out shows no alpha (SDL's blend leaves some text edges at 253).
bool grey_texels(const uint8_t* rgba, size_t count, std::vector<uint8_t>& grey)
{
    grey.resize(count);
    for (size_t i = 0; i < count; i++, rgba += 4) {
        if (rgba[0] != rgba[1] || rgba[1] != rgba[2])
            return false;
        grey[i] = rgba[0];
    }
    return true;
}

void render_frame(int index, bool upload = true, float r = 0.0f, float g = 0.0f, float b = 0.0f)
{
    glViewport(view_x, view_y, view_w, view_h);
    glClearColor(r, g, b, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    if (index >= 0 && index < PROGRAM_COUNT) {
        if (upload)
            upload_planes(index);
        const program_layout& layout = layouts[index];
        glUseProgram(m_program[index]);
        glVertexAttribPointer(layout.vertex_location, COORDINATES_PER_VERTEX, GL_FLOAT, GL_FALSE, 0, vertexVertices);
        glEnableVertexAttribArray(layout.vertex_location);
        glVertexAttribPointer(layout.texture_location, COORDINATES_PER_VERTEX, GL_FLOAT, GL_FALSE, 0,
                              textureVertices);
        glEnableVertexAttribArray(layout.texture_location);
        for (int unit = 0; unit < layout.plane_count; unit++) {
            const plane_layout& p = layout.planes[unit];
            glActiveTexture(GL_TEXTURE0 + unit);
            glBindTexture(GL_TEXTURE_2D, *p.texture);
            glUniform1i(*p.uniform, unit);
        }
        glDrawArrays(GL_TRIANGLE_STRIP, 0, QUAD_VERTICES);
        glUseProgram(0);
    }
    swapBuffers({view_y, view_h});
}

} // namespace

int init_opengl()
{
    set_view_port(0, 0, MODE_WIDTH, MODE_HEIGHT);
    if (initVideo() < 0)
        return -1;
    std::fill(std::begin(uploaded), std::end(uploaded), false);
    init_shader();
    init_texture();
    read_texture_limits();
    return 0;
}

void deinit_opengl()
{
    free_strip();
    for (GLuint* texture : textures)
        glDeleteTextures(1, texture);
    for (GLuint program : m_program)
        glDeleteProgram(program);
    cleanVideo();
}

void set_shader_index(int index)
{
    shader_index = index;
}

void set_video_size(int width, int height)
{
    video_width = width;
    video_height = height;
}

void set_view_port(int x, int y, int width, int height)
{
    view_x = x;
    view_y = y;
    view_w = width;
    view_h = height;
}

void draw_frame(char* data, int width, int height)
{
    int index = shader_index;
    // A frame without pixels has nothing to upload: it is presented black, like an unknown format.
    if (width <= 0 || height <= 0)
        index = -1;
    set_planes(data, width, height, index);
    render_frame(index);
}

int upload_frame(char* data, int width, int height)
{
    int index = shader_index;
    if (index < 0 || index >= PROGRAM_COUNT || width <= 0 || height <= 0)
        return -1;
    set_planes(data, width, height, index);
    upload_planes(index);
    return 0;
}

bool frame_uploaded()
{
    int index = shader_index;
    return index >= 0 && index < PROGRAM_COUNT && uploaded[index];
}

int redraw_frame()
{
    int index = shader_index;
    if (index < 0 || index >= PROGRAM_COUNT || !uploaded[index])
        return -1;
    render_frame(index, false);
    return 0;
}

int upload_strip(int width, int height, const std::function<const void*(int x, int w)>& tile)
{
    free_strip();
    if (width <= 0 || height <= 0 || height > max_texture_size || tile_width <= 0)
        return -1;
    // Errors left by earlier calls would be taken for the upload's.
    while (glGetError() != GL_NO_ERROR) {
    }
    glActiveTexture(GL_TEXTURE0);
    strip_tiles.reserve(size_t((width + tile_width - 1) / tile_width));
    std::vector<uint8_t> grey;
    for (int x = 0; x < width; x += tile_width) {
        const int w = std::min(tile_width, width - x);
        const void* pixels = tile(x, w);
        if (!pixels) {
            free_strip();
            return -1;
        }
        // Drawn texel for pixel: nearest sampling reads each texel as it is.
        const strip_tile& added = strip_tiles.emplace_back(strip_tile{Texture(), x, w});
        glBindTexture(GL_TEXTURE_2D, added.texture.id);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        // A grey tile takes a quarter of the memory: a long text is tens of megabytes in colour.
        if (grey_texels(static_cast<const uint8_t*>(pixels), size_t(w) * size_t(height), grey))
            glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE, w, height, 0, GL_LUMINANCE, GL_UNSIGNED_BYTE, grey.data());
        else
            glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, w, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
        if (glGetError() != GL_NO_ERROR) {
            free_strip();
            return -1;
        }
    }
    strip_height = height;
    return 0;
}

void free_strip()
{
    if (strip_tiles.empty())
        return;
    strip_tiles.clear();
    strip_tiles.shrink_to_fit();
#ifdef TAVIMORO_HAVE_MALLOC_TRIM
    // A software renderer keeps the tiles in many small blocks of the heap, which stay with the
    // process when freed: tens of megabytes after a long text. Give them back.
    malloc_trim(0);
#endif
}

bool strip_uploaded()
{
    return !strip_tiles.empty();
}

void draw_strip(const strip_slice* slices, int count, int top)
{
    glViewport(view_x, view_y, view_w, view_h);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    const program_layout& layout = layouts[SHADER_INDEX_RGBA];
    glUseProgram(m_program[SHADER_INDEX_RGBA]);
    glEnableVertexAttribArray(layout.vertex_location);
    glEnableVertexAttribArray(layout.texture_location);
    glActiveTexture(GL_TEXTURE0);
    glUniform1i(textureUniformRGBA, 0);
    // Each slice is cut at the tiles' edges; what lies beyond the strip meets no tile.
    for (const strip_slice& slice : std::span(slices, size_t(std::max(count, 0)))) {
        for (const strip_tile& tile : strip_tiles)
            draw_strip_piece(tile, std::max(slice.x, tile.x), std::min(slice.x + slice.w, tile.x + tile.w),
                             slice.at - slice.x, top);
    }
    glUseProgram(0);
    swapBuffers({view_y, view_h});
}

#ifdef TAVIMORO_FACTORY
void draw_color(float r, float g, float b)
{
    render_frame(-1, false, r, g, b);
}
#endif
