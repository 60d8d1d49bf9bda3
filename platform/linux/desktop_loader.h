// Loading keepawake-desktop.so, the module that links GIO and libwayland, so
// that the X11 program maps neither unless it needs them.
#pragma once

#include <string>

#include "platform/linux/desktop_module.h"

// The module's table, loaded once: beside the program (where the build puts
// it), then where an install puts it. Null, with *failure saying why, when it
// cannot be loaded. Never unloaded: its threads may outlive the exit's
// bounded waits.
const DesktopBinding* loadDesktopModule(std::string* failure);
