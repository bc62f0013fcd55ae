#!/usr/bin/env bash
# The Windows zip, unpacked as an owner unpacks it: every DLL its programs import is in it or is
# one Windows ships (one Wine's system folder holds), and the program starts from it alone.
set -uo pipefail
top=$1 build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0 passed=0
check() {
  if "${@:2}"; then passed=$((passed + 1)); else echo "FAILED: $1"; failed=$((failed + 1)); fi
}

"$top/scripts/package" windows --build "$build" --out "$work/dist" >"$work/log" 2>&1 || { cat "$work/log"; exit 1; }
unzip -q "$work"/dist/*.zip -d "$work/unpacked"
folder=$work/unpacked/tavimoro
# Wine makes its system folder on the first start.
WINEPATH="" /usr/lib/wine/wine64 "$folder/tavimoro-host.exe" --help >"$work/help" 2>&1
system32=$WINEPREFIX/drive_c/windows/system32

every_import_is_there() {
  local file dll ok=0
  for file in "$folder"/*.exe "$folder"/*.dll; do
    while read -r dll; do
      [ -e "$folder/$dll" ] && continue
      find "$system32" -maxdepth 1 -iname "$dll" | grep -q . && continue
      echo "  $(basename "$file") imports $dll, which is neither in the zip nor Windows'"
      ok=1
    done < <(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p')
  done
  return $ok
}
check "every imported DLL is in the zip or Windows'" every_import_is_there
check "the program starts from the unpacked folder alone" grep -q "Usage: tavimoro-host" "$work/help"
check "the hooks and the MAME plugin are in it" test -f "$folder/mame-plugins/tavimoro/init.lua"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
