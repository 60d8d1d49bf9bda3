#include "platform/linux/x11_loader.h"

#include "platform/linux/module_loader.h"

namespace {

constexpr const char* moduleFile = "keepawake-x11.so";

}  // namespace

std::string x11LoadFailureLine(bool moduleFound, const std::string& problem) {
    const std::string start = "keepawake: cannot keep this X session awake: ";
    if (!moduleFound) {
        return start + moduleFile + " is missing (" + problem + ").\n";
    }
    const std::string library = libraryNamedIn(problem, moduleFile);
    if (library.empty()) {
        return start + moduleFile + " could not be loaded (" + problem + ").\n";
    }
    // glibc's words for a library that is not there at all; anything else
    // (a damaged or foreign file) is there but unusable.
    const bool absent = problem.find("cannot open shared object file") != std::string::npos;
    return start + library + (absent ? " is missing (" : " cannot be used (") + moduleFile +
           " could not be loaded: " + problem + ").\n";
}

const X11Binding* loadX11Module(std::string* failure) {
    static const LoadedModule loaded = loadModule(moduleFile, KEEPAWAKE_X11_ENTRY);
    static const auto* table = static_cast<const X11Binding*>(loaded.table);
    // A module from another build may lack entries this program calls.
    static const bool complete = table != nullptr && table->size >= sizeof(X11Binding);
    if (complete) {
        failure->clear();
        return table;
    }
    *failure = table != nullptr
                   ? x11LoadFailureLine(true, std::string(moduleFile) + " is from an older build than the program")
                   : x11LoadFailureLine(loaded.found, loaded.problem);
    return nullptr;
}
