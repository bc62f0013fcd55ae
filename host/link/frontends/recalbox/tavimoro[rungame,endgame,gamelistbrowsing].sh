#!/bin/sh
# Marquee hook for Recalbox's EmulationStation events: the marquee shows the game that is
# launched (RunGame) or under the cursor (GamelistBrowsing), and the boot banner after EndGame.
#
# Goes in /recalbox/share/userscripts/ under this very name: the events in brackets are those
# Recalbox runs it for.
# Recalbox passes: -action EVENT -statefile FILE [-param ROM-PATH], the event in lower case.
# FILE (/tmp/es_state.inf) holds the game's name as Game=... and its ROM as GamePath=...; a
# later event may already have rewritten it, so the name is taken only when GamePath is this ROM.
# Documentation: https://wiki.recalbox.com/en/advanced-usage/scripts-on-emulationstation-events
#
# tavimoro-host must be on PATH. Recalbox runs user scripts asynchronously, and the message goes
# out in the background all the same.
action='' statefile='' rompath=''
while [ $# -ge 2 ]; do
  case $1 in
    -action) action=$2 ;;
    -statefile) statefile=$2 ;;
    -param) rompath=$2 ;;
  esac
  shift 2
done

case $action in
  endgame)
    tavimoro-host info </dev/null >/dev/null 2>&1 &
    ;;
  rungame | gamelistbrowsing)
    [ -n "$rompath" ] && [ ! -d "$rompath" ] || exit 0
    name=
    if grep -qxF "GamePath=$rompath" "$statefile" 2>/dev/null; then
      name=$(sed -n 's/^Game=//p' "$statefile" | head -n 1)
    fi
    # --rom derives the lookup keys from the ROM path by the rule tavimoro-media names files by.
    tavimoro-host info --rom "$rompath" --title "$name" </dev/null >/dev/null 2>&1 &
    ;;
esac
exit 0
