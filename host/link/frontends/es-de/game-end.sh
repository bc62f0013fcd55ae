#!/bin/sh
# Marquee hook for ES-DE's "game-end" event: back to the boot banner when the game ends.
#
# Goes, executable, in ES-DE's event folder: ~/ES-DE/scripts/game-end/tavimoro.sh; ES-DE runs it
# once "Enable custom event scripts" is on (Main menu, Other settings).
# ES-DE passes the same arguments as to game-start; none is needed here.
# Documentation: https://gitlab.com/es-de/emulationstation-de/-/blob/master/INSTALL.md#custom-event-scripts
#
# tavimoro-host must be on PATH; a message with no field brings the boot banner back. It goes out
# in the background: ES-DE waits for each script.
tavimoro-host info </dev/null >/dev/null 2>&1 &
exit 0
