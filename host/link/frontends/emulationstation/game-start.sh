#!/bin/sh
# Marquee hook for EmulationStation's "game-start" event (Batocera; also EmulationStation on
# RetroPie): the marquee shows the starting game's picture and video.
#
# Goes, executable, in the event's script folder:
#   Batocera:  /userdata/system/configs/emulationstation/scripts/game-start/tavimoro.sh
#   RetroPie:  ~/.emulationstation/scripts/game-start/tavimoro.sh
# EmulationStation passes $1 the ROM path (escaped for a shell), $2 the ROM file's name without
# its extension, and in newer versions $3 the game's name.
# Documentation: https://wiki.batocera.org/launch_a_script (EmulationStation scripts, "game-start")
#
# tavimoro-host must be on PATH; TAVIMORO_DEVICE or TAVIMORO_SERIAL pick the board where needed.
# The message goes out in the background: the game never waits for the marquee.
# $2 is EmulationStation's own ROM name, made by the rule tavimoro-media names files by (the
# file's name without its extension); $1 is escaped for a shell and is not taken apart here.
rom=$2
name=${3:-$rom}
tavimoro-host info --romname "$rom" --title "$name" --title2 "$name" </dev/null >/dev/null 2>&1 &
exit 0
