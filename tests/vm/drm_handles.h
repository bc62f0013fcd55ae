// Owning handles for the libdrm records the bench's tests read from the card.
#pragma once

#include <xf86drmMode.h>

#include <memory>

namespace vm_test {

template <typename T, void (*Free)(T*)>
struct DrmFree {
    void operator()(T* p) const { Free(p); }
};

using Resources = std::unique_ptr<drmModeRes, DrmFree<drmModeRes, drmModeFreeResources>>;
using Connector = std::unique_ptr<drmModeConnector, DrmFree<drmModeConnector, drmModeFreeConnector>>;
using Encoder = std::unique_ptr<drmModeEncoder, DrmFree<drmModeEncoder, drmModeFreeEncoder>>;
using Crtc = std::unique_ptr<drmModeCrtc, DrmFree<drmModeCrtc, drmModeFreeCrtc>>;
using Framebuffer = std::unique_ptr<drmModeFB, DrmFree<drmModeFB, drmModeFreeFB>>;

} // namespace vm_test
