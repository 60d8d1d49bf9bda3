// The hotkey on Linux: a key grab on X11; on Wayland, where no program may
// grab keys, the desktop's GlobalShortcuts portal through the desktop module.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/linux/desktop_loader.h"
#include "platform/platform.h"
#include "platform/posix/posix_wake.h"
#include "platform/linux/x11_loader.h"

namespace {

enum class Source { none, x11, portal };
Source source = Source::none;
int portalNotify = -1;  // the write end the module's thread writes a byte to per press
const DesktopBinding* module = nullptr;
const X11Binding* x11 = nullptr;  // the X11 module, which holds the grab

constexpr const char* bindInstead =
    "bind the command 'keepawake --toggle' to a key in the desktop's keyboard settings instead.";

bool isWaylandSession() {
    const char* display = std::getenv("WAYLAND_DISPLAY");
    const char* type = std::getenv("XDG_SESSION_TYPE");
    return (display != nullptr && display[0] != '\0') || (type != nullptr && std::strcmp(type, "wayland") == 0);
}

// The key as the shortcuts of the freedesktop portal write it: "CTRL+ALT+k".
std::string portalTrigger(const Hotkey& hotkey) {
    static const char* const named[] = {"Pause", "space",  "Home",  "End",   "Insert", "Delete",
                                        "Prior", "Next",   "Left",  "Up",    "Right",  "Down",
                                        "Print", "Escape", "Tab",   "Return", "BackSpace"};
    std::string trigger;
    if ((hotkey.modifiers & hotkeyCtrl) != 0) {
        trigger += "CTRL+";
    }
    if ((hotkey.modifiers & hotkeyAlt) != 0) {
        trigger += "ALT+";
    }
    if ((hotkey.modifiers & hotkeyShift) != 0) {
        trigger += "SHIFT+";
    }
    if ((hotkey.modifiers & hotkeySuper) != 0) {
        trigger += "LOGO+";
    }
    if (hotkey.key < 0x80) {
        trigger += static_cast<char>(hotkey.key);
    } else if (hotkey.key >= hotkeyF1 && hotkey.key < hotkeyF1 + 24) {
        trigger += "F" + std::to_string(hotkey.key - hotkeyF1 + 1);
    } else if (hotkey.key >= hotkeyPause && hotkey.key <= hotkeyBackspace) {
        trigger += named[hotkey.key - hotkeyPause];
    }
    return trigger;
}

std::string startPortal(const Hotkey& hotkey) {
    std::string failure;
    module = loadDesktopModule(&failure);
    int ends[2];
    if (module == nullptr) {
        return "no global shortcut in this Wayland session (keepawake-desktop.so could not be loaded: " + failure +
               "); " + bindInstead;
    }
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        return std::string("no global shortcut: no pipe; ") + bindInstead;
    }
    hotkeyWakeFd = ends[0];
    portalNotify = ends[1];
    source = Source::portal;
    // The portal answers later; a refusal is said then, by the module.
    module->hotkeyStart(portalTrigger(hotkey).c_str(), hotkey.name.c_str(), portalNotify);
    return {};
}

}  // namespace

std::string registerHotkey(const Hotkey& hotkey) {
    if (isWaylandSession()) {
        return startPortal(hotkey);
    }
    X11LoadFailure failure;
    x11 = loadX11Module(&failure);
    if (x11 == nullptr) {
        return "no hotkey in this X session: " + failure.words;
    }
    char problem[256] = {};
    const int fd = x11->hotkeyStart(hotkey.key, hotkey.modifiers, hotkey.name.c_str(), problem, sizeof problem);
    if (fd < 0) {
        return problem;
    }
    hotkeyWakeFd = fd;
    source = Source::x11;
    return {};
}

int takeHotkeyPresses(std::string* problem) {
    if (source == Source::portal) {
        char bytes[64];
        int presses = 0;
        ssize_t got = 0;
        while ((got = read(hotkeyWakeFd, bytes, sizeof bytes)) > 0) {
            presses += static_cast<int>(got);
        }
        return presses;
    }
    if (source != Source::x11) {
        return 0;
    }
    char said[256] = {};
    const int presses = x11->hotkeyReadable(said, sizeof said);
    if (said[0] != '\0') {
        *problem = said;
        hotkeyWakeFd = -1;  // closed with the connection
        source = Source::none;
    }
    return presses;
}

void releaseHotkey() {
    if (source == Source::x11) {
        x11->hotkeyStop();
    } else if (source == Source::portal) {
        module->hotkeyStop();
    }
    hotkeyWakeFd = -1;
    source = Source::none;
}
