#include "platform/linux/desktop_loader.h"

#include "platform/linux/module_loader.h"

const DesktopBinding* loadDesktopModule(std::string* failure) {
    // Main thread only, before the worker starts, like every first use.
    static const LoadedModule loaded = loadModule("keepawake-desktop.so", KEEPAWAKE_DESKTOP_ENTRY);
    *failure = loaded.problem;
    return static_cast<const DesktopBinding*>(loaded.table);
}
