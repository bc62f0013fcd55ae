@echo off
rem Marquee hook for RetroBat's "game-start" event: the marquee shows the starting game's picture
rem and video, and keeps it as what is selected.
rem
rem Goes in RetroBat\emulationstation\.emulationstation\scripts\game-start\tavimoro.cmd
rem ('tavimoro-host setup' puts it there).
rem RetroBat passes %1 the ROM path, %2 the ROM file's name without its extension and %3 the game's
rem name (es-app/src/FileData.cpp, launchGame); it takes the quotes out of each and puts one in
rem quotes only when it holds a space, so that a name with '&' and no space cuts the line short.
rem Documentation: RetroBat's EmulationStation, es-core/src/Scripting.cpp (fireEvent, executeScript)
rem
rem setup writes tavimoro-host.exe's full path in place of its name below; installed by hand, the
rem hook finds it on the PATH. RetroBat starts its hooks one after another without waiting for
rem them: -b takes the event's place in order at once and sends in the background.
tavimoro-host.exe -q -b info --rom "%~1" --title "%~3" --select
