// Loading keepawake-x11.so, the module that links the xcb libraries, so that
// the program starts where they are missing and says which one is.
#pragma once

#include <string>

#include "platform/x11/x11_module.h"

// The module's table, loaded once (main thread, before other threads use
// it). Null when it cannot be loaded; *failure is then the one line to
// write on standard error, naming the missing library where there is one.
const X11Binding* loadX11Module(std::string* failure);

// That line, from where the module was found and what the loader said.
std::string x11LoadFailureLine(bool moduleFound, const std::string& problem);
