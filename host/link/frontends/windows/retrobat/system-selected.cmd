@echo off
rem Marquee hook for RetroBat's "system-selected" event: the marquee shows the system under the
rem cursor in the system list (its picture and video, or a card of its name).
rem
rem Goes in RetroBat\emulationstation\.emulationstation\scripts\system-selected\tavimoro.cmd
rem ('tavimoro-host setup' puts it there).
rem RetroBat passes %1 the system's short name (es-app/src/views/SystemView.cpp,
rem ViewController.cpp).
rem Documentation: RetroBat's EmulationStation, es-core/src/Scripting.cpp (fireEvent, executeScript)
rem
rem setup writes tavimoro-host.exe's full path in place of its name below; installed by hand, the
rem hook finds it on the PATH. RetroBat starts its hooks one after another without waiting for
rem them: -b takes the event's place in order at once and sends in the background.
tavimoro-host.exe -q -b info --system "%~1" --select
