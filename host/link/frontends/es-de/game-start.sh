#!/bin/sh
# Marquee hook for ES-DE's "game-start" event: the marquee shows the starting game's picture and
# video.
#
# Goes, executable, in ES-DE's event folder: ~/ES-DE/scripts/game-start/tavimoro.sh; ES-DE runs it
# once "Enable custom event scripts" is on (Main menu, Other settings).
# ES-DE passes $1 the ROM path with a backslash before spaces and other shell characters, $2 the
# game's name, $3 the system's name and $4 its full name.
# Documentation: https://gitlab.com/es-de/emulationstation-de/-/blob/master/INSTALL.md#custom-event-scripts
#
# tavimoro-host must be on PATH. ES-DE waits for each script, so the message goes out in the
# background.
# The backslashes go before the ROM's name is taken; --rom derives the lookup keys from the path
# by the rule tavimoro-media names files by.
rom=$(printf '%s\n' "$1" | sed 's/\\\(.\)/\1/g')
tavimoro-host info --rom "$rom" --title "$2" </dev/null >/dev/null 2>&1 &
exit 0
