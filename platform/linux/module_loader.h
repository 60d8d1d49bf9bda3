// Loading one of the program's own modules (keepawake-desktop.so,
// keepawake-x11.so): each links the libraries of one kind of session, so the
// program starts, and maps them, only where that session is.
#pragma once

#include <string>

struct LoadedModule {
    const void* table = nullptr;  // what the module's entry returned; null on failure
    std::string problem;          // why not, when null: dlerror's text or where it was looked for
    bool found = false;           // the file was there (a library it needs may still be missing)
};

// Looks beside the program (where the build puts it), then in
// ../lib/keepawake (where an install puts it); loads the first one found and
// calls its entry, a C function returning the module's table. Never unloaded:
// a module's threads may outlive the exit's bounded waits.
LoadedModule loadModule(const char* fileName, const char* entryName);

// The library a failed load names first in dlerror's text ("libxcb.so.1:
// cannot open shared object file: ..."), as a file name; empty when the text
// is about the module itself or names no file.
std::string libraryNamedIn(const std::string& loadError, const std::string& moduleFileName);
