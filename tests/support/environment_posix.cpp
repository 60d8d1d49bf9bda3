#include <cstdlib>

#include "tests/support/environment.h"

void setEnvironment(const char* name, const char* value) {
    if (value == nullptr) {
        unsetenv(name);
    } else {
        setenv(name, value, 1);
    }
}
