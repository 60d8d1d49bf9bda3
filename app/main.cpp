#include "app/keep_awake.h"

int main() {
    return runKeepAwake();
}
