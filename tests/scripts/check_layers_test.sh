#!/usr/bin/env bash
# The layer check passes on this tree and fails, naming the include, on each cycle the folders
# once had and on a layer that reaches into a program folder.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
check="$top/scripts/check-layers"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=0
fail() { echo "FAILED: $*"; failed=$((failed + 1)); }

"$check" "$top" >/dev/null || fail "the tree itself breaks the layer order"

# A copy of the tree's sources with one include added to FILE; the check must fail on it.
expect_rejected() {
    local file=$1 include=$2
    rm -rf "$work/tree" && mkdir "$work/tree"
    (cd "$top" && git ls-files -z -- '*.cpp' '*.h' | xargs -0 cp --parents -t "$work/tree")
    printf '#include "%s"\n' "$include" >>"$work/tree/$file"
    if "$check" "$work/tree" 2>"$work/err" >/dev/null; then
        fail "$file including $include passed the check"
    elif ! grep -qE "^layer check: $file:[0-9]+ includes .*#include \"$include\"" "$work/err"; then
        fail "the failure does not name $file's include: $(cat "$work/err")"
    fi
}

expect_rejected core/signal_handler.cpp playback/playbin.h   # the ground calling playback
expect_rejected core/events.cpp device/event_monitor.h       # core <-> device
expect_rejected playback/queue.cpp display/opengl.h          # playback <-> display
expect_rejected display/video.cpp banner/image.h             # display <-> banner
expect_rejected banner/image.cpp sim/sample_media.h          # a layer reaching into a program
expect_rejected media/media_lookup.cpp banner/bannerbar.h    # the shared lookup needing the banner
expect_rejected core/common.cpp host/link/hidraw_search.h   # the ground reaching into the host side
expect_rejected host/link/link_client.cpp host/kit/library.h   # the link tool needing the media kit
expect_rejected host/common/lookup_keys.cpp host/link/link_client.h  # the shared room needing a program's

echo "$((10 - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
