#!/bin/sh
# Marquee hook for RetroPie's runcommand: the marquee shows the starting game's picture and video.
#
# Goes in /opt/retropie/configs/all/runcommand-onstart.sh (where that script exists already,
# add the lines below to it).
# runcommand passes $1 the system, $2 the emulator, $3 the full path to the ROM file and $4 the
# emulator's command line; it gives no game name, so the ROM file's name stands for it.
# Documentation: https://retropie.org.uk/docs/Runcommand/ ("Runcommand scripts"; source
# https://raw.githubusercontent.com/RetroPie/RetroPie-Docs/master/docs/Runcommand.md)
#
# tavimoro-host must be on PATH. runcommand waits for this script before it starts the game: -b
# takes the event's place in the order of events at once and sends in the background (no '&',
# which could put two events out of order). The game started is what stays selected.
# --rom derives the lookup keys from the ROM path by the rule tavimoro-media names files by.
tavimoro-host -q -b info --select --rom "$3" </dev/null >/dev/null 2>&1
exit 0
