// Keeping Mesa's driver mapped until the process ends, for leak checking.
#pragma once

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <dlfcn.h>
#include <link.h>

#include <string_view>

namespace display_test {

// Mesa unloads its driver when the last display is terminated; the blocks the driver's globals
// still pointed to would then be reported as leaks. Opening the loaded driver once more with
// RTLD_NODELETE keeps it mapped, and those blocks reachable, until the process ends.
inline void keep_gl_driver_loaded()
{
    EGLDisplay display = eglGetPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    eglInitialize(display, nullptr, nullptr);
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void*) {
            if (std::string_view(info->dlpi_name).ends_with("_dri.so"))
                dlopen(info->dlpi_name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
            return 0;
        },
        nullptr);
    eglTerminate(display);
}

} // namespace display_test
