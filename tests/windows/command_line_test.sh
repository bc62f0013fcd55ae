#!/usr/bin/env bash
# tavimoro-host.exe's command line under Wine: its help, its statuses for wrong usage and for no
# board, and the keys it derives from a Windows ROM path and a system's name.
set -uo pipefail
tool=$1
wine=/usr/lib/wine/wine64
failed=0 passed=0

# expect STATUS TEXT ARGS...: the tool exits with STATUS and prints TEXT (on either stream).
expect() {
    local status=$1 text=$2
    shift 2
    local output got
    output=$("$wine" "$tool" "$@" 2>&1 | tr -d '\r'; exit "${PIPESTATUS[0]}")
    got=$?
    if [ "$got" -eq "$status" ] && grep -qF -- "$text" <<<"$output"; then
        passed=$((passed + 1))
    else
        echo "FAILED: tavimoro-host $*: status $got (expected $status), output: $output"
        failed=$((failed + 1))
    fi
}

expect 0 "Usage: tavimoro-host" --help
expect 2 "unknown command 'bogus'" bogus
expect 2 "name a game or a system, not both" info --system snes --rom 'C:\roms\x.zip'
expect 0 '{"title":"Star Fighter & Co","romname":"Star Fighter (USA)","title2":"Star Fighter & Co"}' \
    info --print --rom 'C:\roms\mame\Star Fighter (USA).zip' --title 'Star Fighter & Co'
expect 0 '{"title":"Super Nintendo","romname":"@snes","title2":"@snes"}' info --print --system snes --title 'Super Nintendo'
expect 3 "no marquee board found" -s nothing list
expect 3 "cannot open" --device 'C:\no\such\board' info --title x

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
