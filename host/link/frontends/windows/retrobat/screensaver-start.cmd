@echo off
rem Marquee hook for RetroBat's "screensaver-start" event: the marquee shows its boot banner while
rem the screensaver runs; a screensaver that shows games names each with game-selected, which the
rem mark folder made here keeps from taking them as selected.
rem
rem Goes in RetroBat\emulationstation\.emulationstation\scripts\screensaver-start\tavimoro.cmd
rem ('tavimoro-host setup' puts it there).
rem RetroBat passes %1 the screensaver's kind (es-app/src/SystemScreenSaver.cpp); it is not needed.
rem Documentation: RetroBat's EmulationStation, es-core/src/Scripting.cpp (fireEvent, executeScript)
rem
rem setup writes tavimoro-host.exe's full path in place of its name below; installed by hand, the
rem hook finds it on the PATH. RetroBat starts its hooks one after another without waiting for
rem them: -b takes the event's place in order at once and sends in the background.
mkdir "%TEMP%\tavimoro-screensaver" 2>nul
rem A message with no field brings the boot banner back.
tavimoro-host.exe -q -b info
