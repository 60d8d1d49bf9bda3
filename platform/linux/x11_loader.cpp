#include "platform/linux/x11_loader.h"

#include "platform/linux/module_loader.h"

namespace {

const std::string moduleFile = "keepawake-x11.so";

}  // namespace

X11LoadFailure describeX11LoadFailure(bool moduleFound, const std::string& problem) {
    std::string words = moduleFile + " could not be loaded";
    std::string detail = problem;
    const std::string library = moduleFound ? libraryNamedIn(problem, moduleFile) : "";
    if (!moduleFound) {
        words = moduleFile + " is missing";
    } else if (!library.empty()) {
        // glibc's words for a library that is not there at all; anything else
        // (a damaged or foreign file) is there but unusable.
        const bool absent = problem.find("cannot open shared object file") != std::string::npos;
        words = library + (absent ? " is missing" : " cannot be used");
        detail = moduleFile + " could not be loaded: " + problem;
    }
    return {"keepawake: cannot keep this X session awake: " + words + " (" + detail + ").\n", words};
}

const X11Binding* loadX11Module(X11LoadFailure* failure) {
    static const LoadedModule loaded = loadModule(moduleFile.c_str(), KEEPAWAKE_X11_ENTRY);
    static const auto* table = static_cast<const X11Binding*>(loaded.table);
    // A module from another build may lack entries this program calls.
    static const bool complete = table != nullptr && table->size >= sizeof(X11Binding);
    if (complete) {
        *failure = X11LoadFailure{};
        return table;
    }
    *failure = table != nullptr ? describeX11LoadFailure(true, moduleFile + " is from an older build than the program")
                                : describeX11LoadFailure(loaded.found, loaded.problem);
    return nullptr;
}
