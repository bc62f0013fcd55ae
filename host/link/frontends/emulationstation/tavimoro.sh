#!/bin/sh
# Marquee hook for EmulationStation's event scripts, on Batocera and on RetroPie: the marquee
# follows what the owner looks at. One script serves every event: EmulationStation runs the
# scripts of a folder named after the event, and that folder's name says which event it is.
#
# Goes, executable, as tavimoro.sh in each event's folder (tavimoro-host setup puts it there):
#   Batocera: /userdata/system/configs/emulationstation/scripts/EVENT/ for game-selected,
#     system-selected, game-start, game-end, screensaver-start and screensaver-stop
#   RetroPie: ~/.emulationstation/scripts/EVENT/ for game-select, system-select,
#     screensaver-game-select, screensaver-start and screensaver-stop (runcommand's scripts name
#     the game that starts and ends)
# What EmulationStation passes (Batocera: batocera-emulationstation es-app/src/FileData.cpp,
# views/SystemView.cpp, SystemScreenSaver.cpp; RetroPie: RetroPie/EmulationStation
# es-app/src/views/gamelist/ISimpleGameListView.cpp, views/SystemView.cpp, SystemScreenSaver.cpp,
# es-core/src/Window.cpp):
#   game-selected, game-select    $1 the system, $2 the ROM path, $3 the game's name (RetroPie:
#                                 "NULL" for all three in an empty list; $4 what moved the cursor)
#   screensaver-game-select       $1 the system, $2 the ROM path (a slideshow gives only the
#                                 file's name), $3 the game's name, $4 the screensaver's kind
#   system-selected, system-select  $1 the system's short name (RetroPie: $2 what moved it)
#   game-start (Batocera)         $1 the ROM path escaped for a shell, $2 the ROM file's name
#                                 without its extension, $3 the game's name
#   game-end, screensaver-start, screensaver-stop: nothing the marquee needs
# Documentation: https://wiki.batocera.org/launch_a_script (EmulationStation scripts); RetroPie's
# events: RetroPie/EmulationStation es-core/src/Scripting.cpp and its callers.
#
# tavimoro-host must be on PATH; TAVIMORO_DEVICE or TAVIMORO_SERIAL pick the board where needed.
# -b takes the event's place in the order of events at once and sends in the background, so the
# frontend never waits for the marquee; no '&' here, which could put two events out of order.
event=$(basename "$(dirname "$0")")
show() { tavimoro-host -q -b info "$@" </dev/null >/dev/null 2>&1; }
back() { tavimoro-host -q -b back </dev/null >/dev/null 2>&1; }
# Batocera names the screensaver's games with game-selected too: between screensaver-start and
# screensaver-stop such a game is shown, not selected. The mark is a folder, so that making it
# never writes through a link someone else left under that name.
mark=${TMPDIR:-/tmp}/tavimoro-screensaver-$(id -u)

case $event in
  game-selected | game-select)
    { [ "$2" = NULL ] || [ -d "$2" ]; } && exit 0  # an empty list, or a folder
    # --rom derives the lookup keys from the ROM path by the rule tavimoro-media names files by.
    if [ -d "$mark" ]; then show --rom "$2" --title "$3"; else show --select --rom "$2" --title "$3"; fi
    ;;
  screensaver-game-select)
    show --rom "$2" --title "$3"
    ;;
  system-selected | system-select)
    rmdir "$mark" 2>/dev/null
    show --select --system "$1"
    ;;
  game-start)
    # $2 is EmulationStation's own ROM name, made by the rule tavimoro-media names files by (the
    # file's name without its extension); $1 is escaped for a shell and is not taken apart here.
    rmdir "$mark" 2>/dev/null
    show --select --romname "$2" --title "${3:-$2}" --title2 "${3:-$2}"
    ;;
  screensaver-start)
    mkdir "$mark" 2>/dev/null
    show
    ;;
  game-end | screensaver-stop)
    rmdir "$mark" 2>/dev/null
    back
    ;;
esac
exit 0
