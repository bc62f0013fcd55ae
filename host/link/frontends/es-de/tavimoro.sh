#!/bin/sh
# Marquee hook for ES-DE's custom event scripts: the marquee follows what the owner looks at.
# One script serves every event: ES-DE runs the files of a folder named after the event, and that
# folder's name says which event it is.
#
# Goes, executable, as ~/ES-DE/scripts/EVENT/tavimoro.sh for game-select, system-select,
# game-start, game-end, screensaver-start, screensaver-end and screensaver-game-select
# (tavimoro-host setup puts it there); ES-DE runs it once "Enable custom event scripts" is on
# (Main menu, Other settings).
# ES-DE passes, each in double quotes:
#   game-select, game-start, game-end, screensaver-game-select
#                       $1 the ROM path (on Linux with a backslash before spaces and other shell
#                       characters), $2 the game's name, $3 the system's name, $4 its full name
#   system-select       $1 the system's name, $2 its full name, $3 its ROM folder
#   screensaver-start   $1 "timer" or "manual"
#   screensaver-end     $1 "cancel", "game-jump" or "game-start" (the game's own event follows)
# Documentation: https://gitlab.com/es-de/emulationstation-de/-/blob/master/INSTALL.md#custom-event-scripts
#
# tavimoro-host must be on PATH. ES-DE waits for each script: -b takes the event's place in the
# order of events at once and sends in the background; no '&' here, which could put two events
# out of order.
event=$(basename "$(dirname "$0")")
show() { tavimoro-host -q -b info "$@" </dev/null >/dev/null 2>&1; }
# The backslashes go before the ROM's name is taken; --rom derives the lookup keys from the path
# by the rule tavimoro-media names files by.
rom=$(printf '%s\n' "$1" | sed 's/\\\(.\)/\1/g')

case $event in
  game-select | game-start)
    [ -d "$rom" ] && exit 0  # a folder
    show --select --rom "$rom" --title "$2"
    ;;
  screensaver-game-select)
    show --rom "$rom" --title "$2"
    ;;
  system-select)
    show --select --system "$1" --title "$2"
    ;;
  screensaver-start)
    show
    ;;
  game-end | screensaver-end)
    tavimoro-host -q -b back </dev/null >/dev/null 2>&1
    ;;
esac
exit 0
