@echo off
rem Marquee hook for RetroBat's "screensaver-stop" event: when the screensaver ends, the marquee
rem shows again what is selected, and the games game-selected names are selected again.
rem
rem Goes in RetroBat\emulationstation\.emulationstation\scripts\screensaver-stop\tavimoro.cmd
rem ('tavimoro-host setup' puts it there).
rem RetroBat passes no arguments (es-app/src/SystemScreenSaver.cpp).
rem Documentation: RetroBat's EmulationStation, es-core/src/Scripting.cpp (fireEvent, executeScript)
rem
rem setup writes tavimoro-host.exe's full path in place of its name below; installed by hand, the
rem hook finds it on the PATH. RetroBat starts its hooks one after another without waiting for
rem them: -b takes the event's place in order at once and sends in the background.
rmdir "%TEMP%\tavimoro-screensaver" 2>nul
tavimoro-host.exe -q -b back
