#!/bin/bash
# The Buildroot package declares what the build and the player need: every pkg-config module of
# the CMake build has its Buildroot package in TAVIMORO_DEPENDENCIES, every package there is
# selected in Config.in (a virtual one depended on), and what the player needs at run time is
# selected. The native replay cannot see a missing dependency: it builds against this machine's
# libraries.
#
#   buildroot_deps.sh SOURCE_DIR
set -uo pipefail
source=$1
external=$source/board/buildroot
config_in=$external/package/tavimoro/Config.in

. "$(dirname "$0")/checks.sh"
. "$(dirname "$0")/buildroot_package.sh"

# Whether Config.in selects a package's symbol, or depends on it as a virtual package's provider.
declared_in_config() {
  local symbol=$1
  grep -qE "^\s*(select $symbol|depends on ${symbol/BR2_PACKAGE_/BR2_PACKAGE_HAS_})(\s|$)" "$config_in"
}

mapfile -t modules < <(board_modules)
read -ra dependencies <<< "$(package_make print-TAVIMORO_DEPENDENCIES)"
echo "pkg-config modules of the CMake build: ${modules[*]}"
echo "TAVIMORO_DEPENDENCIES: ${dependencies[*]}"

check "the CMake build's pkg-config modules are found" test ${#modules[@]} -gt 0
for module in "${modules[@]}"; do
  package=${buildroot_package_of[$module]:-}
  if check "pkg-config module $module has a Buildroot package in buildroot_package.sh" test -n "$package"; then
    check "pkg-config module $module: its package $package is in TAVIMORO_DEPENDENCIES" \
      grep -qxF "$package" <(printf '%s\n' "${dependencies[@]}")
  fi
done
for package in "${dependencies[@]}"; do
  check "$package of TAVIMORO_DEPENDENCIES is selected (or, virtual, depended on) in Config.in" \
    declared_in_config "$(package_symbol "$package")"
done
for symbol in "${!runtime_need_of[@]}"; do
  check "Config.in selects $symbol, for ${runtime_need_of[$symbol]}" declared_in_config "$symbol"
done

finish "the Buildroot package declares every pkg-config module and run-time need"
