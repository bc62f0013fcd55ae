// `tavimoro-host setup` on Windows: not there yet. The hooks are installed by hand for now
// (README, "Windows").
#include "host/link/host_setup.h"

int run_setup(const setup_request&)
{
    return fail(EXIT_USAGE, "setup does not know the frontends of Windows yet: install the hooks by hand "
                            "(README, \"Windows\")");
}
