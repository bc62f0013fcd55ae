#!/bin/bash
# The external tree inside a real Buildroot tree, named by TAVIMORO_BUILDROOT: check-package finds
# no fault in it; the board configuration resolves in Kconfig with the package, the package of
# every pkg-config module, every dependency show-info lists and every run-time need set; and the
# local site method copies the source tree without the build trees in it. Nothing is built: the
# cross toolchain alone takes hours. Exits 77 (skipped) when no tree is named.
#
#   buildroot_tree.sh SOURCE_DIR WORK_DIR
set -uo pipefail
source=$1 work=$2
external=$source/board/buildroot
defconfig=tavimoro_qemu_arm_vexpress_defconfig
skipped=77

. "$(dirname "$0")/checks.sh"
. "$(dirname "$0")/buildroot_package.sh"

buildroot=${TAVIMORO_BUILDROOT:-}
if [ ! -f "$buildroot/utils/check-package" ]; then
  echo "skipped: no Buildroot tree named in TAVIMORO_BUILDROOT (a checkout of Buildroot's source)"
  exit $skipped
fi
output=$work/buildroot-output
log=$work/buildroot.log
echo "Buildroot $(make -s -C "$buildroot" print-version 2>/dev/null) at $buildroot, output in $output"

# A make target of Buildroot in the output directory, its output in $log.
br() {
  make --no-print-directory -C "$buildroot" O="$output" BR2_EXTERNAL="$external" "$@" > "$log" 2>&1 || { tail -20 "$log"; return 1; }
}

# check-package's modules (python3-magic, flake8) are the system Python's.
check_package() {
  (cd "$external" && find . -type f -print0 | xargs -0 /usr/bin/python3 "$buildroot/utils/check-package" --br2-external)
}
check "check-package finds no fault in the external tree" check_package

# Whether a dependency's package (or, for a virtual package, a provider) is set in .config.
package_set() {
  local symbol
  symbol=$(package_symbol "$1")
  grep -qxE "($symbol|${symbol/BR2_PACKAGE_/BR2_PACKAGE_HAS_})=y" "$output/.config"
}

rm -rf "$output"
if check "$defconfig resolves" br "$defconfig"; then
  check "Kconfig resolves without unmet dependencies ($(grep -m1 'unmet direct' "$log"))" \
    bash -c "! grep -q 'unmet direct dependencies' '$log'"
  check "BR2_PACKAGE_TAVIMORO is set" grep -qx 'BR2_PACKAGE_TAVIMORO=y' "$output/.config"
  while read -r module; do
    package=${buildroot_package_of[$module]:-unknown}
    check "pkg-config module $module: its package $package is set" package_set "$package"
  done < <(board_modules)
  for symbol in "${!runtime_need_of[@]}"; do
    check "$symbol is set, for ${runtime_need_of[$symbol]}" grep -qx "$symbol=y" "$output/.config"
  done
  if check "tavimoro-show-info" br tavimoro-show-info; then
    mapfile -t dependencies < <(grep "^{" "$log" | jq -r '.tavimoro.dependencies[]' | grep -vE '^(host-|toolchain$|skeleton$)')
    echo "show-info's target dependencies: ${dependencies[*]}"
    check "show-info lists the package's dependencies" test ${#dependencies[@]} -gt 0
    for package in "${dependencies[@]}"; do
      check "dependency $package is set in .config" package_set "$package"
    done
  fi
  check "tavimoro-source" br tavimoro-source
  mapfile -t build_trees < <(cd "$source" && ls -d build*/ 2>/dev/null)
  if check "tavimoro-rsync copies the source tree" br tavimoro-rsync; then
    copy=$(echo "$output"/build/tavimoro-*)
    check "the copy holds the top CMakeLists.txt" test -f "$copy/CMakeLists.txt"
    check "the copy leaves the source tree's build trees out (${build_trees[*]:-none there})" \
      bash -c "! ls -d '$copy'/build*/ > /dev/null 2>&1"
  fi
fi

finish "the external tree checked, resolved and copied by Buildroot"
