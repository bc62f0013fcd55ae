#!/usr/bin/env bash
# tavimoro-host.exe setup under Wine, on a RetroBat tree with MAME: the hooks and the plugin land
# where RetroBat and its MAME read them, a second run and a dry run change nothing, and --remove
# takes back what setup added and nothing of the owner's. Then the installed hooks run through
# cmd.exe, from a program folder whose name holds a space, '&' and '%', with a game whose names
# hold spaces, '&' and '^': a stand-in tavimoro-host.exe records the arguments they arrive as.
# (Wine's cmd drops a '%' from what it expands, a parameter as well: no name or folder that a
# hook takes from its arguments holds one here.)
# Usage: setup_test.sh TAVIMORO-HOST.EXE RECORD-ARGS.EXE GENERIC-HOOK
set -uo pipefail
tool=$1 recorder=$2 generic_hook=$3
wine=/usr/lib/wine/wine64
work=$(mktemp -d)
export WINEPREFIX=$work/wine-prefix WINEDEBUG=-all
trap '/usr/lib/wine/wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
unset TAVIMORO_DEVICE TAVIMORO_SERIAL
failed=0 passed=0

check() {
    if eval "$2"; then
        passed=$((passed + 1))
    else
        echo "FAILED: $1"
        failed=$((failed + 1))
    fi
}

# The RetroBat folder as RetroBat ships it, with a script of the owner's among the event folders.
retrobat="$work/Retro Bat"
user="$retrobat/emulationstation/.emulationstation"
mkdir -p "$user/scripts/start" "$retrobat/emulators/mame"
touch "$user/es_systems.cfg" "$retrobat/emulators/mame/mame.exe"
echo 'rem the owner'"'"'s' > "$user/scripts/start/updatestores.bat"
tools="$work/tools 100% & more"
mkdir -p "$tools"
cp "$tool" "$tools/tavimoro-host.exe"
root='Z:'${retrobat//\//\\}
program='Z:'${tools//\//\\}'\tavimoro-host.exe'

# The tree's folders and files, with the files' sizes and times.
tree() { (cd "$work" && find "Retro Bat" \( -type d -printf '%p\n' \) -o -printf '%p %s %T@\n' | sort); }
setup() { "$wine" "$tools/tavimoro-host.exe" setup --root "$root" "$@" 2>&1 | tr -d '\r'; }

before=$(tree)
output=$(setup --dry-run)
check "a dry run says what it would do" 'grep -qF "would install $root\\emulationstation\\.emulationstation\\scripts\\game-start\\tavimoro.cmd" <<<"$output"'
check "a dry run writes nothing" '[ "$(tree)" = "$before" ]'

output=$(setup)
for event in game-start game-end game-selected system-selected screensaver-start screensaver-stop; do
    check "the $event hook is where RetroBat runs it" '[ -f "$user/scripts/$event/tavimoro.cmd" ]'
done
hook="$user/scripts/game-start/tavimoro.cmd"
check "a hook calls the program by its full path, its '%' doubled" \
    'grep -qF "\"${program//%/%%}\" -q -b info --rom" "$hook"'
check "a hook has Windows line ends" '[ "$(tr -cd "\r" <"$hook" | wc -c)" = "$(tr -cd "\n" <"$hook" | wc -c)" ]'
check "the plugin is beside MAME" '[ -f "$retrobat/emulators/mame/plugins/tavimoro/init.lua" ] && [ -f "$retrobat/emulators/mame/plugins/tavimoro/plugin.json" ]'
check "the plugin calls the program by its full path" 'grep -qF "cmd_quote([==[$program]==])" "$retrobat/emulators/mame/plugins/tavimoro/init.lua"'
check "the plugin is on in the plugin.ini RetroBat's MAME reads" 'grep -q "^tavimoro  *1.$" "$retrobat/bios/mame/ini/plugin.ini"'

installed=$(tree)
output=$(setup)
check "a second run changes nothing" '[ "$(tree)" = "$installed" ] && ! grep -qE "^(install|update|make|turn)" <<<"$output"'

# The hooks, run as RetroBat runs them, call the stand-in.
cp "$recorder" "$tools/tavimoro-host.exe"
# The generic hook as the zip holds it, in hooks\ below the program.
generic="$work/tools & more"
mkdir -p "$generic/hooks"
cp "$recorder" "$generic/tavimoro-host.exe"
cp "$generic_hook" "$generic/hooks/tavimoro-game.cmd"
export TAVIMORO_RECORD='Z:'${work//\//\\}'\record'
run() {
    local dir=$1
    shift
    rm -f "$work/record"
    (cd "$dir" && "$wine" cmd /c "$@" >/dev/null 2>&1)
    tr -d '\r' <"$work/record" 2>/dev/null | paste -sd '|'
}
rom='Z:\roms\snes\Tom & Jerry (USA).zip'
check "game-selected hands the names over whole" \
    '[ "$(run "$user/scripts/game-selected" tavimoro.cmd snes "$rom" "Tom & Jerry ^ Co")" = "-q|-b|info|--rom|$rom|--title|Tom & Jerry ^ Co|--select" ]'
check "game-selected passes over a folder" '[ -z "$(run "$user/scripts/game-selected" tavimoro.cmd snes "Z:\\tmp" folder)" ]'
run "$user/scripts/screensaver-start" tavimoro.cmd dim >/dev/null
check "a game the screensaver shows is not selected" \
    '[ "$(run "$user/scripts/game-selected" tavimoro.cmd snes "$rom" Tom)" = "-q|-b|info|--rom|$rom|--title|Tom" ]'
run "$user/scripts/screensaver-stop" tavimoro.cmd >/dev/null
check "after the screensaver a game is selected again" \
    '[ "$(run "$user/scripts/game-selected" tavimoro.cmd snes "$rom" Tom)" = "-q|-b|info|--rom|$rom|--title|Tom|--select" ]'
check "game-end says back" '[ "$(run "$user/scripts/game-end" tavimoro.cmd)" = "-q|-b|back" ]'
check "the generic hook names a game" \
    '[ "$(run "$generic/hooks" tavimoro-game.cmd "$rom" "Tom & Jerry")" = "-q|-b|info|--rom|$rom|--title|Tom & Jerry|--select" ]'
check "the generic hook with no game says back" '[ "$(run "$generic/hooks" tavimoro-game.cmd)" = "-q|-b|back" ]'
cp "$tool" "$tools/tavimoro-host.exe"

output=$(setup --remove)
check "--remove takes back all that setup added" '[ "$(tree)" = "$before" ]'
check "--remove leaves the owner's script" '[ -f "$user/scripts/start/updatestores.bat" ]'

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
