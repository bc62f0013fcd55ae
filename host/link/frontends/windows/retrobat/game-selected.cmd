@echo off
rem Marquee hook for RetroBat's "game-selected" event: the marquee follows the cursor through the
rem game lists, and shows the games the screensaver shows without taking them as selected.
rem
rem Goes in RetroBat\emulationstation\.emulationstation\scripts\game-selected\tavimoro.cmd
rem ('tavimoro-host setup' puts it there).
rem RetroBat passes %1 the system's name, %2 the ROM path and %3 the game's name
rem (es-app/src/FileData.cpp, SystemScreenSaver.cpp); it takes the quotes out of each and puts one
rem in quotes only when it holds a space, so that a name with '&' and no space cuts the line short.
rem Documentation: RetroBat's EmulationStation, es-core/src/Scripting.cpp (fireEvent, executeScript)
rem
rem setup writes tavimoro-host.exe's full path in place of its name below; installed by hand, the
rem hook finds it on the PATH. RetroBat starts its hooks one after another without waiting for
rem them: -b takes the event's place in order at once and sends in the background.
rem A folder of the list is no game.
if exist "%~2\" exit /b 0
rem From screensaver-start to screensaver-stop a mark folder stands in %TEMP%.
setlocal
set "select=--select"
if exist "%TEMP%\tavimoro-screensaver\" set "select="
tavimoro-host.exe -q -b info --rom "%~2" --title "%~3" %select%
