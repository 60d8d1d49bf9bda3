// A program that does nothing for the seconds it is given: copied under a
// name of a test's own, it is the program a --while-running run waits for.
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
    Sleep(argc > 1 ? static_cast<DWORD>(std::atoi(argv[1])) * 1000 : 0);
    return 0;
}
