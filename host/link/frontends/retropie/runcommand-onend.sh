#!/bin/sh
# Marquee hook for RetroPie's runcommand: back to what is selected when the emulator exits.
#
# Goes in /opt/retropie/configs/all/runcommand-onend.sh (where that script exists already, add
# the lines below to it).
# runcommand passes the same arguments as to runcommand-onstart.sh; none is needed here.
# Documentation: https://retropie.org.uk/docs/Runcommand/ ("Runcommand scripts"; source
# https://raw.githubusercontent.com/RetroPie/RetroPie-Docs/master/docs/Runcommand.md)
#
# tavimoro-host must be on PATH; `back` names again what is selected (EmulationStation's cursor,
# or the game that ended). -b takes the event's place in the order of events at once and sends in
# the background: the frontend never waits for the marquee.
tavimoro-host -q -b back </dev/null >/dev/null 2>&1
exit 0
