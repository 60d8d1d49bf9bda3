#include "platform/linux/module_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

LoadedModule loadModule(const char* fileName, const char* entryName) {
    LoadedModule result;
    result.problem = "not found beside the program or in ../lib/keepawake";
    char program[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
    if (length <= 0) {
        return result;
    }
    const std::string path(program, static_cast<std::size_t>(length));
    const std::string directory = path.substr(0, path.rfind('/'));
    for (const char* place : {"/", "/../lib/keepawake/"}) {
        const std::string candidate = directory + place + fileName;
        if (access(candidate.c_str(), F_OK) != 0) {
            continue;
        }
        result.found = true;
        void* module = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            const char* error = dlerror();
            result.problem = error != nullptr ? error : candidate + " could not be loaded";
            return result;
        }
        auto* entry = reinterpret_cast<const void* (*)()>(dlsym(module, entryName));
        if (entry == nullptr) {
            result.problem = candidate + " has no " + entryName;
            return result;
        }
        result.table = entry();
        if (result.table == nullptr) {
            result.problem = candidate + "'s " + entryName + " gave no table";
        }
        return result;
    }
    return result;
}

std::string libraryNamedIn(const std::string& loadError, const std::string& moduleFileName) {
    const std::size_t colon = loadError.find(": ");
    if (colon == std::string::npos || colon == 0) {
        return "";
    }
    const std::string named = loadError.substr(0, colon);
    const std::size_t slash = named.rfind('/');
    const std::string file = slash == std::string::npos ? named : named.substr(slash + 1);
    // Only a shared library's name: "keepawake-x11.so: undefined symbol: ..."
    // is about the module, and other texts may start with any word.
    if (file == moduleFileName || file.find(".so") == std::string::npos || file.find(' ') != std::string::npos) {
        return "";
    }
    return file;
}
