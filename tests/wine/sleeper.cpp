// A program that does nothing for the seconds it is given ("500ms": the
// milliseconds): copied under a name of a test's own, it is the program a
// --while-running run waits for.
#include <windows.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    const DWORD number = argc > 1 ? static_cast<DWORD>(std::atoi(argv[1])) : 0;
    Sleep(argc > 1 && std::strstr(argv[1], "ms") != nullptr ? number : number * 1000);
    return 0;
}
