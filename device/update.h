// Recovery hand-off of the player: find the firmware package on a USB disk, leave the command
// for recovery in the misc partition, and reboot.
#pragma once

// 1 when "vorlix_update_online.img" is on a USB disk, else 0.
int find_package();
// 1 when the recovery command for that package was written, else 0.
int writeCmdToMisc();
// Syncs, then reboots; 1 when the reboot command ran and succeeded, else 0.
int rebootNow();
// The whole hand-off, for a package whose signature the board accepts: 0 once the reboot has
// been requested, -1 otherwise.
int update();
