#!/bin/sh
# Marquee hook for EmulationStation's "game-selected" event (Batocera 33 and later): the marquee
# follows the cursor through the game lists (and the games the screensaver shows).
#
# Goes, executable, in the event's script folder:
#   /userdata/system/configs/emulationstation/scripts/game-selected/tavimoro.sh
# EmulationStation passes $1 the system's name, $2 the ROM path, $3 the game's name.
# Documentation: https://wiki.batocera.org/launch_a_script (EmulationStation scripts, "game-selected")
#
# tavimoro-host must be on PATH. The message goes out in the background: browsing never waits
# for the marquee.
[ -d "$2" ] && exit 0  # a folder, not a game
# --rom derives the lookup keys from the ROM path by the rule tavimoro-media names files by.
tavimoro-host info --rom "$2" --title "$3" </dev/null >/dev/null 2>&1 &
exit 0
