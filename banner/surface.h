// Ownership of SDL software surfaces and the geometry and pixel format of the banner canvases.
#pragma once

#include <SDL2/SDL.h>

#include <memory>

// Every surface composed for the banner: bytes R, G, B, A in memory, as the renderer uploads.
inline constexpr Uint32 SURFACE_FORMAT = SDL_PIXELFORMAT_ABGR8888;
inline constexpr int SURFACE_DEPTH = 32;
inline constexpr int BANNER_WIDTH = 1920;
inline constexpr int BANNER_HEIGHT = 360;

struct SurfaceFree {
    void operator()(SDL_Surface* surface) const { SDL_FreeSurface(surface); }
};
using UniqueSurface = std::unique_ptr<SDL_Surface, SurfaceFree>;

// A new surface in the banner's pixel format, or null.
inline UniqueSurface make_surface(int width, int height)
{
    return UniqueSurface(SDL_CreateRGBSurfaceWithFormat(0, width, height, SURFACE_DEPTH, SURFACE_FORMAT));
}

// `surface` converted to the banner's pixel format (null when that fails); the original is freed.
inline UniqueSurface convert_surface(UniqueSurface surface)
{
    if (!surface)
        return nullptr;
    return UniqueSurface(SDL_ConvertSurfaceFormat(surface.get(), SURFACE_FORMAT, 0));
}
