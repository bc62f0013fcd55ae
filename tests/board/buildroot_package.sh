# What the Buildroot package must declare, the CMake build's pkg-config modules, and the package's
# makefile evaluated without Buildroot; sourced by the board tests after setting `source` (the
# source tree) and `external` (the external tree).

# The Buildroot package that provides each pkg-config module the CMake build asks for. A module
# missing here fails the dependency check: its package must be added here and to the package.
declare -A buildroot_package_of=(
  [sdl2]=sdl2
  [SDL2_image]=sdl2_image
  [SDL2_ttf]=sdl2_ttf
  [glib-2.0]=libglib2
  [gstreamer-1.0]=gstreamer1
  [gstreamer-video-1.0]=gst1-plugins-base
  [libcjson]=cjson
  [libarchive]=libarchive
  [libsodium]=libsodium
  [libdrm]=libdrm
  [gbm]=libgbm
  [egl]=libegl
  [glesv2]=libgles
  [fontconfig]=fontconfig
)

# Modules that only the host's tools or the tests ask for: a board's build (tests off) configures
# without them.
declare -A not_on_the_board=(
  [pugixml]="tavimoro-media, the host's media kit, is built only where it is found"
  [gstreamer-app-1.0]="tavimoro-media's picture conversion, asked for only where pugixml is found"
  [harfbuzz-subset]="the tests' Latin-only board font"
  [libudev]="the host service's board watch, built only where its libraries are found"
  [cpp-httplib]="the host service's HTTP API"
  [libmosquitto]="the host service's MQTT"
)

# What the player needs only at run time, as the config symbols that must end up set.
declare -A runtime_need_of=(
  [BR2_PACKAGE_GST1_PLUGINS_BASE_PLUGIN_PLAYBACK]="playbin"
  [BR2_PACKAGE_GST1_PLUGINS_BASE_PLUGIN_TYPEFIND]="typefind"
  [BR2_PACKAGE_GST1_PLUGINS_GOOD_PLUGIN_ISOMP4]="the MP4 demuxer"
  [BR2_PACKAGE_GST1_PLUGINS_BAD_PLUGIN_VIDEOPARSERS]="the H.264 parser"
  [BR2_PACKAGE_ZLIB]="libarchive's deflated zip entries"
  [BR2_PACKAGE_JPEG]="SDL2_image's JPEG pictures"
  [BR2_PACKAGE_LIBPNG]="SDL2_image's PNG pictures"
)

# The modules of every pkg_check_modules and pkg_search_module call, keywords and version
# constraints dropped, one a line. Build trees at the top of the source tree are not read.
cmake_modules() {
  find "$source" \( -path "$source/build*" -o -name .git \) -prune -o \
       \( -name CMakeLists.txt -o -name '*.cmake' \) -print0 |
    xargs -0 cat | tr '\n' ' ' | grep -oE 'pkg_(check_modules|search_module)\([^)]*\)' |
    sed -E 's/^[^(]*\( *[^ )]+//; s/\)$//' | tr ' ' '\n' |
    grep -vxE '|REQUIRED|QUIET|IMPORTED_TARGET|GLOBAL|NO_CMAKE_PATH|NO_CMAKE_ENVIRONMENT_PATH' |
    sed -E 's/[<>=].*//' | sort -u
}

# The modules of the board's build: the CMake build's, less those of the host tools and tests.
board_modules() {
  cmake_modules | grep -vxF -f <(printf '%s\n' "${!not_on_the_board[@]}")
}

# The Kconfig symbol of a Buildroot package name.
package_symbol() {
  local name=${1^^}
  echo "BR2_PACKAGE_${name//-/_}"
}

# Makes a target of a makefile around tavimoro.mk, with the given config symbols: print-VARIABLE
# prints a variable as make evaluates it, install-target runs the package's target install (into
# `target_dir`, from `build_dir`, when the caller sets them).
package_make() {
  make --no-print-directory -f - "$@" <<MAKEFILE
BR2_EXTERNAL_TAVIMORO_PATH := $external
BR2_CMAKE := cmake
TARGET_DIR := ${target_dir:-/nonexistent}
TAVIMORO_BUILDDIR := ${build_dir:-/nonexistent}
include $external/package/tavimoro/tavimoro.mk
print-%: ; @echo '\$(\$*)'
install-target: ; \$(TAVIMORO_INSTALL_TARGET_CMDS)
MAKEFILE
}
