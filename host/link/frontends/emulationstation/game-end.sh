#!/bin/sh
# Marquee hook for EmulationStation's "game-end" event (Batocera; also EmulationStation on
# RetroPie): back to the boot banner when the game ends.
#
# Goes, executable, in the event's script folder:
#   Batocera:  /userdata/system/configs/emulationstation/scripts/game-end/tavimoro.sh
#   RetroPie:  ~/.emulationstation/scripts/game-end/tavimoro.sh
# EmulationStation passes no arguments.
# Documentation: https://wiki.batocera.org/launch_a_script (EmulationStation scripts, "game-end")
#
# tavimoro-host must be on PATH; a message with no field brings the boot banner back. It goes
# out in the background: the frontend never waits for the marquee.
tavimoro-host info </dev/null >/dev/null 2>&1 &
exit 0
