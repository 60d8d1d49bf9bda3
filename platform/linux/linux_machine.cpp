// The machine's power source and lock, through the desktop module, which is
// loaded for this alone on X11, and only when the run follows the machine.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/linux/desktop_loader.h"
#include "platform/platform.h"
#include "platform/posix/posix_wake.h"

namespace {

const DesktopBinding* module = nullptr;

}  // namespace

void watchMachine(unsigned what) {
    std::string failure;
    const DesktopBinding* loaded = loadDesktopModule(&failure);
    int ends[2];
    if (loaded == nullptr || pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr,
                     "keepawake: cannot tell whether on battery or locked (keepawake-desktop.so could not be "
                     "loaded: %s): keeping awake as if on mains power and unlocked.\n",
                     loaded == nullptr ? failure.c_str() : "no pipe");
        return;
    }
    machineWakeFd = ends[0];
    module = loaded;
    module->watchMachine(what, ends[1]);
}

MachineState readMachineState() {
    MachineState state;
    if (module != nullptr) {
        module->readMachine(&state.onBattery, &state.locked);
    }
    return state;
}
