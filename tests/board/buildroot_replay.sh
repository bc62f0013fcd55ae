#!/bin/bash
# Replays the Buildroot package's configure, build and target install without Buildroot: the
# package's options, build targets and install commands come from tavimoro.mk itself (evaluated
# by make with a board's config symbols), the fixed options from the cmake-package
# infrastructure of the Buildroot release the package was written for. Builds with the armhf
# toolchain file when an armhf root is named in TAVIMORO_ARMHF_SYSROOT, natively otherwise, and checks the target tree for
# BusyBox init and for systemd.
#
#   buildroot_replay.sh SOURCE_DIR WORK_DIR
set -uo pipefail
source=$1 work=$2
external=$source/board/buildroot
build_dir=$work/buildroot-build target_dir=$work/target

. "$(dirname "$0")/checks.sh"
. "$(dirname "$0")/buildroot_package.sh"

# What the cmake-package infrastructure passes before the package's own options.
infrastructure=(-DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_RUNSTATEDIR=/run -DCMAKE_COLOR_MAKEFILE=OFF
                -DBUILD_DOC=OFF -DBUILD_DOCS=OFF -DBUILD_EXAMPLE=OFF -DBUILD_EXAMPLES=OFF -DBUILD_TEST=OFF
                -DBUILD_TESTS=OFF -DBUILD_TESTING=OFF -DBUILD_SHARED_LIBS=ON -DCMAKE_BUILD_TYPE=Release)
# The armhf toolchain needs the armhf root as its sysroot: without one named, the cross compiler
# would read this machine's own headers.
toolchain=$source/cmake/armhf.cmake
if [ -n "${TAVIMORO_ARMHF_SYSROOT:-}" ] && [ -d "$TAVIMORO_ARMHF_SYSROOT/usr/include" ]; then
  infrastructure+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
  echo "replaying with the armhf toolchain ($toolchain, sysroot $TAVIMORO_ARMHF_SYSROOT)"
else
  toolchain=""
  echo "armhf part skipped: no armhf root named in TAVIMORO_ARMHF_SYSROOT; replaying natively"
fi

# Configures for one init system (config symbols as arguments), builds and installs the target.
replay() {
  local options targets
  read -ra options <<< "$(package_make print-TAVIMORO_CONF_OPTS "$@")"
  read -ra targets <<< "$(package_make print-TAVIMORO_MAKE_OPTS "$@")"
  echo "configure options from tavimoro.mk: ${options[*]}"
  rm -rf "$target_dir" && mkdir -p "$build_dir" &&
    (cd "$build_dir" && rm -f CMakeCache.txt && cmake "$source" -G "Unix Makefiles" "${infrastructure[@]}" "${options[@]}" > configure.log 2>&1) ||
    { cat "$build_dir/configure.log"; return 1; }
  make -s -j2 -C "$build_dir" "${targets[@]}" > /dev/null || return 1
  package_make install-target "$@" > /dev/null
}

# The files of the target tree, as board paths.
target_files() {
  (cd "$target_dir" && find . -type f | sed 's|^\.||' | sort)
}

board_programs=(/emulator/update /usr/bin/tavimoro /usr/bin/tavimoro-factory)
start_up=(/etc/tavimoro/usb-identity.conf /usr/sbin/tavimoro-gadget)

if check "BusyBox init: configure, build and install" replay BR2_PACKAGE_TAVIMORO_START_AT_BOOT=y BR2_INIT_BUSYBOX=y; then
  expected=$(printf '%s\n' "${board_programs[@]}" "${start_up[@]}" /etc/init.d/S95tavimoro | sort)
  check "BusyBox init: the target holds exactly the board's files and S95tavimoro (it holds: $(target_files | tr '\n' ' '))" \
    test "$(target_files)" = "$expected"
  check "the init script runs the installed player and gadget script" \
    grep -q '^PLAYER=/usr/bin/tavimoro$' "$target_dir/etc/init.d/S95tavimoro"
  if [ -n "$toolchain" ]; then
    check "the player is built for ARM" bash -c "file -L '$target_dir/usr/bin/tavimoro' | grep -q 'ARM'"
  fi
fi
if check "systemd: configure and install" replay BR2_PACKAGE_TAVIMORO_START_AT_BOOT=y BR2_INIT_SYSTEMD=y; then
  expected=$(printf '%s\n' "${board_programs[@]}" "${start_up[@]}" /usr/lib/systemd/system/tavimoro.service \
             /usr/lib/systemd/system/tavimoro-gadget.service | sort)
  check "systemd: the target holds the board's files and the two units (it holds: $(target_files | tr '\n' ' '))" \
    test "$(target_files)" = "$expected"
fi
if check "not started at boot: configure and install" replay; then
  check "not started at boot: only the programs (it holds: $(target_files | tr '\n' ' '))" \
    test "$(target_files)" = "$(printf '%s\n' "${board_programs[@]}")"
fi

finish "the Buildroot package's configure, build and install replayed"
