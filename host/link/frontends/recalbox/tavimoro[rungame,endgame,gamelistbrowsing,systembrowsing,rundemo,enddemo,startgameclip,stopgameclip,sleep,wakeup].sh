#!/bin/sh
# Marquee hook for Recalbox's EmulationStation events: the marquee follows what the owner looks at.
#
# Goes in /recalbox/share/userscripts/ under this very name: the events in brackets are those
# Recalbox runs it for (tavimoro-host setup puts it there).
# Recalbox passes: -action EVENT -statefile FILE [-param PARAM], the event in lower case; PARAM
# is the ROM path for a game's event (rungame, gamelistbrowsing, rundemo, startgameclip) and the
# system's short name for systembrowsing. FILE (/tmp/es_state.inf, lines ending in CR LF) holds
# the game's name as Game=..., its ROM as GamePath=..., the system's full name as System=... and
# its short name as SystemId=...; a later event may already have rewritten it, so a name is taken
# only when the file is about this event's ROM or system.
# Events (recalbox-emulationstation, es-app/src/NotificationManager.cpp): rungame and endgame (a
# game), gamelistbrowsing and systembrowsing (the cursor), rundemo and enddemo (the demo mode's
# games), startgameclip and stopgameclip (the game clip screensaver), sleep and wakeup.
# Documentation: https://wiki.recalbox.com/en/advanced-usage/scripts-on-emulationstation-events
#
# tavimoro-host must be on PATH. Recalbox runs user scripts one after the other, asynchronously:
# -b takes the event's place in the order of events at once and sends in the background; no '&'
# here, which could put two events out of order.
action='' statefile='' param=''
while [ $# -ge 2 ]; do
  case $1 in
    -action) action=$2 ;;
    -statefile) statefile=$2 ;;
    -param) param=$2 ;;
  esac
  shift 2
done
show() { tavimoro-host -q -b info "$@" </dev/null >/dev/null 2>&1; }
# The state file's value of KEY.
state() { tr -d '\r' <"$statefile" 2>/dev/null | sed -n "s/^$1=//p" | head -n 1; }
# The game's name, when the state file is about this ROM.
name() { [ "$(state GamePath)" = "$param" ] && state Game; }

case $action in
  rungame | gamelistbrowsing)
    { [ -z "$param" ] || [ -d "$param" ]; } && exit 0  # no game, or a folder
    # --rom derives the lookup keys from the ROM path by the rule tavimoro-media names files by.
    show --select --rom "$param" --title "$(name)"
    ;;
  rundemo | startgameclip)
    [ -n "$param" ] && show --rom "$param" --title "$(name)"
    ;;
  systembrowsing)
    full=
    [ "$(state SystemId)" = "$param" ] && full=$(state System)
    [ -n "$param" ] && show --select --system "$param" --title "$full"
    ;;
  sleep)
    show
    ;;
  endgame | enddemo | stopgameclip | wakeup)
    tavimoro-host -q -b back </dev/null >/dev/null 2>&1
    ;;
esac
exit 0
