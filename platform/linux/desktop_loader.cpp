#include "platform/linux/desktop_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace {

const DesktopBinding* loadNow(std::string* failure) {
    char program[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
    *failure = "not found beside the program or in ../lib/keepawake";
    if (length <= 0) {
        return nullptr;
    }
    const std::string path(program, static_cast<std::size_t>(length));
    const std::string directory = path.substr(0, path.rfind('/'));
    for (const char* place : {"/keepawake-desktop.so", "/../lib/keepawake/keepawake-desktop.so"}) {
        const std::string candidate = directory + place;
        if (access(candidate.c_str(), F_OK) != 0) {
            continue;
        }
        void* module = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            *failure = dlerror();
            return nullptr;
        }
        auto* entry = reinterpret_cast<const DesktopBinding* (*)()>(dlsym(module, KEEPAWAKE_DESKTOP_ENTRY));
        if (entry != nullptr) {
            return entry();
        }
        *failure = candidate + " has no " KEEPAWAKE_DESKTOP_ENTRY;
        return nullptr;
    }
    return nullptr;
}

}  // namespace

const DesktopBinding* loadDesktopModule(std::string* failure) {
    // Main thread only, before the worker starts, like every first use.
    static bool tried = false;
    static const DesktopBinding* loaded = nullptr;
    static std::string why;
    if (!tried) {
        tried = true;
        loaded = loadNow(&why);
    }
    *failure = why;
    return loaded;
}
