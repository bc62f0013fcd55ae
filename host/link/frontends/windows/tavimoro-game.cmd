@echo off
rem Marquee hook for any Windows frontend that can run a program when a game starts and ends
rem (LaunchBox and Big Box, RocketLauncher under HyperSpin, an Attract-Mode plug-in; the README's
rem "Windows" says where each one takes it).
rem
rem   tavimoro-game.cmd ROM-PATH [DISPLAY-NAME]   the marquee shows that game's picture and video
rem   tavimoro-game.cmd                           back to what is selected: the game ended
rem
rem It calls the zip's tavimoro-host.exe: the one in the folder above its own (the zip's hooks
rem folder holds it), else the one beside it. The ROM
rem file's name without its extension looks the media up; the display name, by default that same
rem name, is the title shown when the board has no picture of the game. Put each argument in
rem quotes: a name with spaces, '&' or '^' then arrives whole.
rem The message goes out in the background: the frontend never waits for the marquee.
setlocal
set "program=%~dp0..\tavimoro-host.exe"
if not exist "%program%" set "program=%~dp0tavimoro-host.exe"
if "%~1"=="" (
  "%program%" -q -b back
  exit /b 0
)
"%program%" -q -b info --rom "%~1" --title "%~2" --select
