// The test bed's own mouse: one virtual pointer made when the bed starts,
// which moves once and then stays, as a real desktop's mouse would. sway 1.7
// needs a pointer device that outlives the program's; see the sway checks.
// "move MS SECONDS" instead stands for a user at work: a one-pixel move back
// and forth every MS milliseconds for SECONDS, then it ends.
#include <poll.h>
#include <wayland-client.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "virtual-pointer-unstable-v1-client-protocol.h"

namespace {

zwlr_virtual_pointer_manager_v1* manager = nullptr;

void onGlobal(void*, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
    if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
        manager = static_cast<zwlr_virtual_pointer_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
    }
}
void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener listener{onGlobal, onGlobalRemove};

}  // namespace

int main(int argc, char** argv) {
    wl_display* display = wl_display_connect(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "resident_pointer: no Wayland display\n");
        return 1;
    }
    wl_registry_add_listener(wl_display_get_registry(display), &listener, nullptr);
    wl_display_roundtrip(display);
    if (manager == nullptr) {
        std::fprintf(stderr, "resident_pointer: no virtual-pointer manager\n");
        return 1;
    }
    zwlr_virtual_pointer_v1* pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager, nullptr);
    zwlr_virtual_pointer_v1_motion(pointer, 0, wl_fixed_from_int(1), wl_fixed_from_int(1));
    zwlr_virtual_pointer_v1_frame(pointer);
    wl_display_roundtrip(display);
    if (argc == 4 && std::string(argv[1]) == "move") {
        const auto every = std::chrono::milliseconds(std::stoi(argv[2]));
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::stoi(argv[3]));
        for (int dx = 1; std::chrono::steady_clock::now() < end; dx = -dx) {
            zwlr_virtual_pointer_v1_motion(pointer, 0, wl_fixed_from_int(dx), wl_fixed_from_int(0));
            zwlr_virtual_pointer_v1_frame(pointer);
            wl_display_flush(display);
            std::this_thread::sleep_for(every);
        }
        wl_display_roundtrip(display);
        return 0;
    }
    std::printf("resident pointer ready\n");
    std::fflush(stdout);
    // Until the compositor goes away.
    while (wl_display_dispatch(display) != -1) {
    }
    return 0;
}
