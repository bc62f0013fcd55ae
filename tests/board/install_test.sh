#!/bin/bash
# Installs the build's `board` and `host` components into a temporary DESTDIR and checks the tree:
# every file where its prefix puts it, programs executable, and the start-up files naming paths
# that exist in the installed tree.
#
#   install_test.sh BUILD_DIR SOURCE_DIR BINDIR SBINDIR SYSCONFDIR SYSTEMD_DIR INIT MANDIR MAN_PAGES
# (the directories as configured, full paths; INIT is the build's TAVIMORO_INIT; MAN_PAGES is 1
# when the build makes the host programs' man pages)
set -uo pipefail
build=$1 source=$2 bindir=$3 sbindir=$4 sysconfdir=$5 systemd=$6 init=$7 mandir=$8 man_pages=$9

. "$(dirname "$0")/checks.sh"

dest=$(mktemp -d) || exit 1
trap 'rm -rf "$dest"' EXIT

# Everything a component installs, as paths inside the tree.
install_component() {
  local tree=$dest/$1
  DESTDIR=$tree cmake --install "$build" --component "$1" > /dev/null || return 1
  (cd "$tree" && find . -type f -o -type l | sed 's|^\.||' | sort)
}

board=$(install_component board) || { echo "FAIL: cmake --install --component board"; exit 1; }
host=$(install_component host) || { echo "FAIL: cmake --install --component host"; exit 1; }

expected=("$bindir/tavimoro" "$bindir/tavimoro-factory" /emulator/update)
[ "$init" = none ] || expected+=("$sbindir/tavimoro-gadget" "$sysconfdir/tavimoro/usb-identity.conf")
[[ $init =~ ^(all|sysv)$ ]] && expected+=("$sysconfdir/init.d/S95tavimoro")
[[ $init =~ ^(all|systemd)$ ]] && expected+=("$systemd/tavimoro.service" "$systemd/tavimoro-gadget.service")
check "the board component holds exactly: ${expected[*]} (it holds: $(echo $board))" \
  test "$board" = "$(printf '%s\n' "${expected[@]}" | sort)"

for program in "$bindir/tavimoro" "$bindir/tavimoro-factory" /emulator/update "$sbindir/tavimoro-gadget" \
               "$sysconfdir/init.d/S95tavimoro"; do
  grep -qx "$program" <<< "$board" && check "$program is executable" test -x "$dest/board$program"
done
grep -qx "$sysconfdir/tavimoro/usb-identity.conf" <<< "$board" &&
  check "the installed USB identity is the source's" cmp -s "$source/board/usb-identity.conf" \
    "$dest/board$sysconfdir/tavimoro/usb-identity.conf"

# The start-up files are configured: no placeholder left, and each program they run installed.
for file in "$sysconfdir/init.d/S95tavimoro" "$systemd/tavimoro.service" "$systemd/tavimoro-gadget.service"; do
  grep -qx "$file" <<< "$board" || continue
  check "$file has no placeholder left" bash -c "! grep -n '@[A-Z_]*@' '$dest/board$file'"
  # The player, the gadget script and the USB identity, as the file names them.
  for path in $(sed -nE 's/^(PLAYER|GADGET|export TAVIMORO_USB_IDENTITY|Exec[A-Za-z]+|Environment=TAVIMORO_USB_IDENTITY)=([^ ]+).*/\2/p' \
                "$dest/board$file" | sort -u); do
    check "$file names $path, which is installed" test -e "$dest/board$path"
  done
done

# BusyBox runs the board's scripts: they must parse as POSIX sh.
for script in "$sbindir/tavimoro-gadget" "$sysconfdir/init.d/S95tavimoro"; do
  grep -qx "$script" <<< "$board" || continue
  for shell in dash "busybox sh"; do
    command -v ${shell%% *} > /dev/null && check "$script parses under $shell" $shell -n "$dest/board$script"
  done
done

host_expected=("$bindir/tavimoro-host" "$bindir/tavimoro-media")
for rule in "$source"/host/link/*.rules; do
  [ -e "$rule" ] || continue
  check "the host component installs $(basename "$rule")" grep -q "/$(basename "$rule")\$" <<< "$host"
  host_expected+=("$(grep "/$(basename "$rule")\$" <<< "$host")")
done
# The picture module that tavimoro-host loads for `image`.
module=$(grep '/tavimoro/tavimoro-picture\.so$' <<< "$host")
check "the host component installs the picture module" test -n "$module"
[ -n "$module" ] && host_expected+=("$module")
# The host service's program, which tavimoro-host serve runs, and its systemd unit.
for part in '/tavimoro/tavimoro-service' '/systemd/system/tavimoro-host.service'; do
  installed=$(grep "$part\$" <<< "$host")
  check "the host component installs ${part##*/}" test -n "$installed"
  [ -n "$installed" ] && host_expected+=("$installed")
done
# The frontend hooks, under the data directory, each script still executable (a frontend's
# plugin is read, not run).
while IFS= read -r hook; do
  installed=$(grep -F "/tavimoro/frontends/$hook" <<< "$host")
  check "the host component installs the hook $hook" test -n "$installed"
  [ -n "$installed" ] && host_expected+=("$installed")
  if [ -n "$installed" ] && [ "$(head -c 2 "$source/host/link/frontends/$hook")" = "#!" ]; then
    check "$installed is executable" test -x "$dest/host$installed"
  fi
done < <(cd "$source/host/link/frontends" && find . -path ./windows -prune -o -type f -print | sed 's|^\./||' | sort)
# The MAME plugin, where setup takes it from.
while IFS= read -r file; do
  installed=$(grep -F "/tavimoro/mame-plugins/tavimoro/$file" <<< "$host")
  check "the host component installs the MAME plugin's $file" test -n "$installed"
  [ -n "$installed" ] && host_expected+=("$installed")
done < <(cd "$source/plugins/tavimoro" && find . -type f | sed 's|^\./||' | sort)
# Each program's man page, gzipped.
if [ "$man_pages" = 1 ]; then
  for program in tavimoro-host tavimoro-media; do
    host_expected+=("$mandir/man1/$program.1.gz")
    check "the man page of $program is gzipped" gzip -t "$dest/host$mandir/man1/$program.1.gz"
  done
fi
check "the host component holds exactly: ${host_expected[*]} (it holds: $(echo $host))" \
  test "$host" = "$(printf '%s\n' "${host_expected[@]}" | sort)"
for program in tavimoro-host tavimoro-media; do
  check "$program is executable" test -x "$dest/host$bindir/$program"
done

finish "install tree checked: $(wc -l <<< "$board") board files, $(wc -l <<< "$host") host files"
