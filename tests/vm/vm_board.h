// The bench VM's board: the fixture's simulated board, with the real KMS card, the real gadget
// node and the real USB controller state file in place of their stand-ins.
#pragma once

#include "tests/support/board_fixture.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vm_test {

// Why the bench's tests skip on an ordinary machine.
inline constexpr const char* OUTSIDE_VM = "runs only inside the real-kernel bench (tests/vm/run-in-vm)";

// Where the board's USB controller state file sits under the board root.
inline constexpr const char* UDC_STATE = "/sys/devices/platform/10180000.usb/udc/10180000.usb/state";
// The virtual GPU's output, as run-in-vm sets it up.
inline constexpr int SCREEN_WIDTH = 1920;
inline constexpr int SCREEN_HEIGHT = 1080;

// The host-side hidraw node of the gadget behind /dev/hidg1 ("" while there is none), and the
// gadget's configfs folder.
std::string hidraw_node();
std::string gadget_dir();

// Whether this runs inside the bench VM.
bool in_vm();
// Links ROOT/dev/dri/card0, ROOT/dev/hidg1 and the USB controller state file to the real ones.
void link_real_nodes();

// Skips outside the bench VM; inside it, links the real nodes into the fresh board root.
class VmBoardTest : public board_test::BoardRootTest {
protected:
    void SetUp() override;
};

// A frame as the virtual GPU scans it out, read from the host side (QEMU's screen dump).
struct Screen {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // rows top first, 3 bytes a pixel

    // The pixel at (x, y) as 0xRRGGBB.
    uint32_t pixel(int x, int y) const;
};

// Asks the bench for a dump of the scanout; false when none arrives in time or it is unreadable.
bool screendump(Screen& screen);

// Where the player's output goes, under the board root.
inline constexpr const char* PLAYER_LOG = "/sim/player.log";

// The player program at `program`, started on the board root as the board would start it, with
// its output in PLAYER_LOG; killed if it still runs at the end.
class PlayerProcess {
public:
    explicit PlayerProcess(std::string program) : program_(std::move(program)) {}
    PlayerProcess(const PlayerProcess&) = delete;
    PlayerProcess& operator=(const PlayerProcess&) = delete;
    ~PlayerProcess();
    bool start();
    // Sends SIGTERM and waits for the player to end: its exit status, or -1 when it was killed
    // or did not end in time.
    int terminate();
    int pid() const { return pid_; }

private:
    std::string program_;
    int pid_ = -1;
};

// Runs tavimoro-host on the real hidraw node; `args` are put into a shell command as they are.
board_test::command_result run_host_tool(const std::string& args);

} // namespace vm_test
