#include "app/keep_awake.h"

int main(int argc, char** argv) {
    return runKeepAwake(commandLineArguments(argc, argv));
}
