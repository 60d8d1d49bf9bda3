// Loading keepawake-x11.so, the module that links the xcb libraries, so that
// the program starts where they are missing and says which one is.
#pragma once

#include <string>

#include "platform/x11/x11_module.h"

struct X11LoadFailure {
    std::string line;   // for standard error: "keepawake: cannot keep this X session awake: ...\n"
    std::string words;  // for the status line: "libxcb.so.1 is missing"
};

// The module's table, loaded once (main thread, before other threads use
// it). Null when it cannot be loaded; *failure then says why, naming the
// missing library where there is one.
const X11Binding* loadX11Module(X11LoadFailure* failure);

// What to say, from whether the module was found and what the loader said.
X11LoadFailure describeX11LoadFailure(bool moduleFound, const std::string& problem);
