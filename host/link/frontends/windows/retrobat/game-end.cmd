@echo off
rem Marquee hook for RetroBat's "game-end" event: when the game ends, the marquee shows again what is
rem selected (the game just played, as game-start selected it).
rem
rem Goes in RetroBat\emulationstation\.emulationstation\scripts\game-end\tavimoro.cmd
rem ('tavimoro-host setup' puts it there).
rem RetroBat passes no arguments (es-app/src/FileData.cpp).
rem Documentation: RetroBat's EmulationStation, es-core/src/Scripting.cpp (fireEvent, executeScript)
rem
rem setup writes tavimoro-host.exe's full path in place of its name below; installed by hand, the
rem hook finds it on the PATH. RetroBat starts its hooks one after another without waiting for
rem them: -b takes the event's place in order at once and sends in the background.
tavimoro-host.exe -q -b back
