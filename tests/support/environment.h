// Setting the tests' own environment, as each system's C runtime does it;
// CMake picks the source.
#pragma once

// Sets name to value; a null value removes it.
void setEnvironment(const char* name, const char* value);
