#include <cstdlib>
#include <string>

#include "tests/support/environment.h"

void setEnvironment(const char* name, const char* value) {
    // "NAME=" removes it there.
    const std::string entry = std::string(name) + "=" + (value != nullptr ? value : "");
    _putenv(entry.c_str());
}
