// The board's output: DRM/KMS card, connector, mode, CRTC and the GBM surface EGL draws into.
#include "display/drm_output.h"

#include "core/board_root.h"
#include "core/unique_fd.h"
#include "display/display_device.h"
#include "display/display_output.h"

#include <EGL/eglext.h>
#include <fcntl.h>
#include <gbm.h>
#include <xf86drm.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// Owns a C handle and frees it with the library's own function.
template <auto Free>
struct c_deleter {
    template <typename T>
    void operator()(T* handle) const
    {
        Free(handle);
    }
};
template <typename T, auto Free>
using c_ptr = std::unique_ptr<T, c_deleter<Free>>;

const EGLint windowAttributes[] = {EGL_NONE};
constexpr uint8_t FB_DEPTH = 24;
constexpr uint8_t FB_BITS_PER_PIXEL = 32;

UniqueFD g_drm_fd;
c_ptr<gbm_device, gbm_device_destroy> g_gbm_dev;
c_ptr<drmModeRes, drmModeFreeResources> g_drm_resources;
c_ptr<drmModeConnector, drmModeFreeConnector> g_drm_connector;
c_ptr<drmModeEncoder, drmModeFreeEncoder> g_drm_encoder;
drmModeModeInfo* g_drm_mode;
uint32_t g_connector_id;
uint32_t g_crtc_id;
c_ptr<gbm_surface, gbm_surface_destroy> g_gbm_surface;

// The encoder now attached to the connector, among the card's encoders.
c_ptr<drmModeEncoder, drmModeFreeEncoder> find_attached_encoder()
{
    for (int i = 0; i < g_drm_resources->count_encoders; i++) {
        c_ptr<drmModeEncoder, drmModeFreeEncoder> encoder(
            drmModeGetEncoder(g_drm_fd.get(), g_drm_resources->encoders[i]));
        if (encoder && encoder->encoder_id == g_drm_connector->encoder_id)
            return encoder;
    }
    return nullptr;
}

// Card, mode and CRTC.
int open_card()
{
    g_drm_fd.reset(open(board_path("/dev/dri/card0").c_str(), O_RDWR | O_CLOEXEC));
    if (!g_drm_fd.valid()) {
        puts("open DRM device failed");
        return -1;
    }
    // Not being master only matters to the mode set, which reports it.
    drmSetMaster(g_drm_fd.get());
    g_gbm_dev.reset(gbm_create_device(g_drm_fd.get()));
    if (!g_gbm_dev) {
        puts("couldn't create GBM device");
        return -1;
    }
    g_drm_resources.reset(drmModeGetResources(g_drm_fd.get()));
    if (!g_drm_resources) {
        puts("drmModeGetResources failed");
        return -1;
    }
    char mode_name[DRM_DISPLAY_MODE_LEN];
    snprintf(mode_name, sizeof mode_name, "%dx%d", MODE_WIDTH, MODE_HEIGHT);
    printf("Try to find %s mode\n", mode_name);
    printf("%s: g_drm_resources->count_connectors:%d\n", "initVideo", g_drm_resources->count_connectors);
    if (g_drm_resources->count_connectors > 0)
        g_drm_connector.reset(drmModeGetConnector(g_drm_fd.get(), g_drm_resources->connectors[0]));
    g_drm_mode = select_drm_mode(g_drm_connector.get(), mode_name);
    if (!g_drm_mode)
        return -1;
    g_connector_id = g_drm_connector->connector_id;
    printf("%s: g_connector_id:%d\n", "initVideo", g_connector_id);
    g_drm_encoder = find_attached_encoder();
    g_drm_resources.reset();
    if (!g_drm_encoder) {
        puts("Couldn't find DRM encoder.");
        return -1;
    }
    g_crtc_id = g_drm_encoder->crtc_id;
    return 0;
}

int open_drm()
{
    if (open_card() != 0)
        return -1;
    g_gbm_surface.reset(gbm_surface_create(g_gbm_dev.get(), g_drm_mode->hdisplay, g_drm_mode->vdisplay,
                                           GBM_FORMAT_XRGB8888, GBM_BO_USE_SCANOUT | GBM_BO_USE_RENDERING));
    if (!g_gbm_surface) {
        puts("couldn't create GBM surface");
        return -1;
    }
    return 0;
}

void* gbm_native_display()
{
    return g_gbm_dev.get();
}

EGLSurface create_window_surface(EGLDisplay display, EGLConfig config)
{
    return eglCreateWindowSurface(display, config, reinterpret_cast<EGLNativeWindowType>(g_gbm_surface.get()),
                                  windowAttributes);
}

int drm_event_fd()
{
    return g_drm_fd.get();
}

void* lock_front_buffer(drawn_rows)
{
    return gbm_surface_lock_front_buffer(g_gbm_surface.get());
}

void release_buffer(void* bo)
{
    gbm_surface_release_buffer(g_gbm_surface.get(), static_cast<gbm_bo*>(bo));
}

uint32_t add_fb(void* bo)
{
    return get_drm_fb(static_cast<gbm_bo*>(bo));
}

void remove_fb(uint32_t fb_id)
{
    drmModeRmFB(g_drm_fd.get(), fb_id);
}

int set_crtc(uint32_t fb_id)
{
    return drmModeSetCrtc(g_drm_fd.get(), g_crtc_id, fb_id, 0, 0, &g_connector_id, 1, g_drm_mode);
}

int page_flip(uint32_t fb_id, void* data)
{
    return drmModePageFlip(g_drm_fd.get(), g_crtc_id, fb_id, DRM_MODE_PAGE_FLIP_EVENT, data);
}

void handle_events()
{
    drmHandleEvent(g_drm_fd.get(), &g_evctx);
}

// The connector and encoder records go with the card, and the card is closed even when
// bring-up failed, so that a failed display does not keep DRM master.
void close_drm()
{
    g_gbm_surface.reset();
    g_gbm_dev.reset();
    g_drm_resources.reset();
    g_drm_encoder.reset();
    g_drm_connector.reset();
    g_drm_mode = nullptr;
    g_drm_fd.reset();
}

} // namespace

const display_output drm_output = {
    .open = open_drm,
    .platform = EGL_PLATFORM_GBM_KHR,
    .native_display = gbm_native_display,
    .surface_type = EGL_WINDOW_BIT,
    .samples = BOARD_SAMPLES,
    .create_surface = create_window_surface,
    .prepare_surface = nullptr,
    .event_fd = drm_event_fd,
    .lock_front_buffer = lock_front_buffer,
    .release_buffer = release_buffer,
    .add_fb = add_fb,
    .remove_fb = remove_fb,
    .set_crtc = set_crtc,
    .page_flip = page_flip,
    .handle_events = handle_events,
    .close = close_drm,
};

drmModeModeInfo* select_drm_mode(drmModeConnector* connector, const char* mode_name)
{
    if (!connector) {
        puts("Couldn't get device connector.");
        return nullptr;
    }
    for (int i = 0; i < connector->count_modes; i++) {
        drmModeModeInfo* mode = &connector->modes[i];
        if (strncmp(mode->name, mode_name, DRM_DISPLAY_MODE_LEN) == 0 && mode->vrefresh == static_cast<uint32_t>(g_display_freq)) {
            printf("FOUND %s, %dHz\n", mode->name, mode->vrefresh);
            return mode;
        }
    }
    puts("Couldn't get drm mode.");
    return nullptr;
}

uint32_t get_drm_fb(gbm_bo* bo)
{
    uint32_t id = 0;
    if (drmModeAddFB(g_drm_fd.get(), gbm_bo_get_width(bo), gbm_bo_get_height(bo), FB_DEPTH, FB_BITS_PER_PIXEL,
                     gbm_bo_get_stride(bo), gbm_bo_get_handle(bo).u32, &id) != 0) {
        puts("drmModeAddFB failed");
        return INVALID_FB_ID;
    }
    return id;
}
