// Everything after the connection is asked for and answered without
// waiting: the replies are taken by xcb_poll_for_reply once a later read
// brought them, so a server that stops answering holds up nothing.
#include "platform/x11/x11_hotkey.h"

#include <poll.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/x11/x11_connect.h"

namespace {

using namespace std::chrono_literals;

// Keysyms of the X protocol's standard set.
constexpr std::uint32_t numLockSym = 0xff7f;
constexpr std::uint32_t scrollLockSym = 0xff14;
constexpr std::uint32_t altSyms[] = {0xffe9, 0xffea, 0xffe7, 0xffe8};  // Alt_L, Alt_R, Meta_L, Meta_R
constexpr std::uint32_t superSyms[] = {0xffeb, 0xffec};                // Super_L, Super_R

struct NamedSym {
    std::uint32_t key;
    std::uint32_t sym;
};
constexpr NamedSym namedSyms[] = {
    {hotkeyPause, 0xff13},  {hotkeySpace, 0x0020},    {hotkeyHome, 0xff50},   {hotkeyEnd, 0xff57},
    {hotkeyInsert, 0xff63}, {hotkeyDelete, 0xffff},   {hotkeyPageUp, 0xff55}, {hotkeyPageDown, 0xff56},
    {hotkeyLeft, 0xff51},   {hotkeyUp, 0xff52},       {hotkeyRight, 0xff53},  {hotkeyDown, 0xff54},
    {hotkeyPrint, 0xff61},  {hotkeyEscape, 0xff1b},   {hotkeyTab, 0xff09},    {hotkeyEnter, 0xff0d},
    {hotkeyBackspace, 0xff08},
};

std::uint32_t keysymFor(std::uint32_t key) {
    if (key < 0x80) {
        return key;  // Latin-1 letters and digits are their own keysyms
    }
    if (key >= hotkeyF1 && key < hotkeyF1 + 24) {
        return 0xffbe + (key - hotkeyF1);
    }
    for (const NamedSym& named : namedSyms) {
        if (named.key == key) {
            return named.sym;
        }
    }
    return 0;
}

enum class Stage { idle, layout, grabbing, grabbed };

struct Grab {
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = 0;
    Stage stage = Stage::idle;
    std::uint32_t keysym = 0;
    unsigned wanted = 0;
    std::string name;
    unsigned keymapRequest = 0;
    unsigned modmapRequest = 0;
    xcb_keycode_t keycode = 0;
    std::vector<std::uint16_t> masks;  // the combination with every mix of lock modifiers
    std::vector<unsigned> grabRequests;
    unsigned syncRequest = 0;
    // A held key repeats as a release and a press of one time stamp.
    bool released = false;
    xcb_timestamp_t releaseTime = 0;
};

// Never destroyed: the module's static destructors run at exit before the
// program's own exit hook, which still lets go of the grab.
Grab& grab = *new Grab;

void tell(char* problem, std::size_t size, const std::string& line) {
    std::snprintf(problem, size, "%s", line.c_str());
}

// The reply or error to request, once a read brought it; false until then.
template <typename Reply>
bool answered(unsigned request, std::unique_ptr<Reply, decltype(&std::free)>* reply, bool* failed) {
    void* answer = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (xcb_poll_for_reply(grab.connection, request, &answer, &error) == 0) {
        return false;
    }
    reply->reset(static_cast<Reply*>(answer));
    *failed = error != nullptr || answer == nullptr;
    std::free(error);
    return true;
}

// Which of the eight modifier bits carries one of the keysyms; 0 for none.
std::uint16_t maskOf(const xcb_get_modifier_mapping_reply_t* modmap, const xcb_get_keyboard_mapping_reply_t* keymap,
                     xcb_keycode_t firstKeycode, const std::uint32_t* syms, std::size_t count) {
    const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(modmap);
    const xcb_keysym_t* table = xcb_get_keyboard_mapping_keysyms(keymap);
    const int tableLength = xcb_get_keyboard_mapping_keysyms_length(keymap);
    const int perCode = keymap->keysyms_per_keycode;
    for (int modifier = 0; modifier < 8; ++modifier) {
        for (int i = 0; i < modmap->keycodes_per_modifier; ++i) {
            const xcb_keycode_t code = codes[modifier * modmap->keycodes_per_modifier + i];
            if (code < firstKeycode) {
                continue;
            }
            for (int column = 0; column < perCode; ++column) {
                const int at = (code - firstKeycode) * perCode + column;
                for (std::size_t s = 0; at < tableLength && s < count; ++s) {
                    if (table[at] == syms[s]) {
                        return static_cast<std::uint16_t>(1u << modifier);
                    }
                }
            }
        }
    }
    return 0;
}

// The key that gives the keysym without shift, else with it.
xcb_keycode_t keycodeOf(const xcb_get_keyboard_mapping_reply_t* keymap, xcb_keycode_t firstKeycode,
                        std::uint32_t keysym) {
    const xcb_keysym_t* table = xcb_get_keyboard_mapping_keysyms(keymap);
    const int tableLength = xcb_get_keyboard_mapping_keysyms_length(keymap);
    const int perCode = keymap->keysyms_per_keycode;
    for (int column = 0; column < perCode && column < 2; ++column) {
        for (int at = column; at < tableLength; at += perCode) {
            if (table[at] == keysym) {
                return static_cast<xcb_keycode_t>(firstKeycode + at / perCode);
            }
        }
    }
    return 0;
}

void closeConnection() {
    if (grab.connection != nullptr) {
        xcb_disconnect(grab.connection);
    }
    grab = Grab{};
}

void ungrabAll() {
    for (const std::uint16_t mask : grab.masks) {
        xcb_ungrab_key(grab.connection, grab.keycode, grab.root, mask);
    }
    // Only what the socket takes at once: a frozen server must not hold the
    // exit. Closing the connection lets go of the grabs in any case.
    pollfd socket{xcb_get_file_descriptor(grab.connection), POLLOUT, 0};
    if (poll(&socket, 1, 0) == 1 && (socket.revents & POLLOUT) != 0) {
        xcb_flush(grab.connection);
    }
}

// The layout came: grab the key with every mix of the lock modifiers, and
// ask for a reply after them, by which time any refusal has come too.
bool sendGrabs(char* problem, std::size_t size) {
    std::unique_ptr<xcb_get_keyboard_mapping_reply_t, decltype(&std::free)> keymap(nullptr, std::free);
    std::unique_ptr<xcb_get_modifier_mapping_reply_t, decltype(&std::free)> modmap(nullptr, std::free);
    bool keymapFailed = false;
    bool modmapFailed = false;
    // Replies come in order: once the later one is here, so is the first.
    if (!answered(grab.modmapRequest, &modmap, &modmapFailed)) {
        return true;
    }
    if (!answered(grab.keymapRequest, &keymap, &keymapFailed)) {
        keymapFailed = true;
    }
    const xcb_keycode_t first = xcb_get_setup(grab.connection)->min_keycode;
    if (keymapFailed || modmapFailed) {
        tell(problem, size, "the X display did not tell its keyboard layout; running without a hotkey.");
        return false;
    }
    grab.keycode = keycodeOf(keymap.get(), first, grab.keysym);
    if (grab.keycode == 0) {
        tell(problem, size, "no key of this keyboard gives " + grab.name + "; running without a hotkey.");
        return false;
    }
    std::uint16_t mask = 0;
    if ((grab.wanted & hotkeyCtrl) != 0) {
        mask |= XCB_MOD_MASK_CONTROL;
    }
    if ((grab.wanted & hotkeyShift) != 0) {
        mask |= XCB_MOD_MASK_SHIFT;
    }
    if ((grab.wanted & hotkeyAlt) != 0) {
        const std::uint16_t alt = maskOf(modmap.get(), keymap.get(), first, altSyms, std::size(altSyms));
        mask |= alt != 0 ? alt : static_cast<std::uint16_t>(XCB_MOD_MASK_1);
    }
    if ((grab.wanted & hotkeySuper) != 0) {
        const std::uint16_t super = maskOf(modmap.get(), keymap.get(), first, superSyms, std::size(superSyms));
        mask |= super != 0 ? super : static_cast<std::uint16_t>(XCB_MOD_MASK_4);
    }
    // CapsLock is always Lock; NumLock and ScrollLock sit where mapped.
    std::vector<std::uint16_t> locks{XCB_MOD_MASK_LOCK};
    for (const std::uint32_t lockSym : {numLockSym, scrollLockSym}) {
        const std::uint16_t lock = maskOf(modmap.get(), keymap.get(), first, &lockSym, 1);
        if (lock != 0 && (lock & mask) == 0 && (lock & XCB_MOD_MASK_LOCK) == 0) {
            locks.push_back(lock);
        }
    }
    for (unsigned mix = 0; mix < (1u << locks.size()); ++mix) {
        std::uint16_t combination = mask;
        for (std::size_t i = 0; i < locks.size(); ++i) {
            if ((mix & (1u << i)) != 0) {
                combination |= locks[i];
            }
        }
        grab.masks.push_back(combination);
        grab.grabRequests.push_back(xcb_grab_key_checked(grab.connection, 1, grab.root, combination, grab.keycode,
                                                         XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)
                                        .sequence);
    }
    grab.syncRequest = xcb_get_input_focus(grab.connection).sequence;
    xcb_flush(grab.connection);
    grab.stage = Stage::grabbing;
    return true;
}

// Once the reply after the grabs came: whether another client holds the key.
bool checkGrabs(char* problem, std::size_t size) {
    std::unique_ptr<xcb_get_input_focus_reply_t, decltype(&std::free)> sync(nullptr, std::free);
    bool syncFailed = false;
    if (!answered(grab.syncRequest, &sync, &syncFailed)) {
        return true;
    }
    bool refused = false;
    for (const unsigned request : grab.grabRequests) {
        void* reply = nullptr;
        xcb_generic_error_t* error = nullptr;
        if (xcb_poll_for_reply(grab.connection, request, &reply, &error) != 0 && error != nullptr) {
            refused = refused || error->error_code == XCB_ACCESS;
        }
        std::free(reply);
        std::free(error);
    }
    if (refused) {
        ungrabAll();
        tell(problem, size, grab.name + " is taken by another program; running without a hotkey.");
        return false;
    }
    grab.stage = Stage::grabbed;
    return true;
}

}  // namespace

int x11HotkeyStart(std::uint32_t key, unsigned modifiers, const char* name, char* problem, std::size_t size) {
    closeConnection();
    grab.keysym = keysymFor(key);
    grab.wanted = modifiers;
    grab.name = name;
    const std::shared_ptr<ConnectAttempt> attempt = startConnectAttempt();
    X11Connection made;
    if (attempt == nullptr || !finishConnectAttempt(*attempt, 1000ms, &made)) {
        if (attempt != nullptr) {
            abandonConnectAttempt(*attempt);
        }
        tell(problem, size, "the X display did not answer within a second; running without a hotkey.");
        return -1;
    }
    if (made.connection == nullptr) {
        tell(problem, size, "no X display could be reached for the hotkey; running without one.");
        return -1;
    }
    grab.connection = made.connection;
    grab.root = made.root;
    const xcb_setup_t* setup = xcb_get_setup(grab.connection);
    grab.keymapRequest =
        xcb_get_keyboard_mapping(grab.connection, setup->min_keycode,
                                 static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1))
            .sequence;
    grab.modmapRequest = xcb_get_modifier_mapping(grab.connection).sequence;
    // Two short requests on a fresh connection: its socket takes them at once.
    xcb_flush(grab.connection);
    grab.stage = Stage::layout;
    return xcb_get_file_descriptor(grab.connection);
}

int x11HotkeyReadable(char* problem, std::size_t size) {
    if (grab.connection == nullptr) {
        return 0;
    }
    int presses = 0;
    // Reads what the socket holds (never waiting) and sorts it into events
    // and the replies taken below.
    while (xcb_generic_event_t* event = xcb_poll_for_event(grab.connection)) {
        const std::uint8_t type = event->response_type & 0x7f;
        if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
            const auto* keyEvent = reinterpret_cast<const xcb_key_press_event_t*>(event);
            if (grab.keycode != 0 && keyEvent->detail == grab.keycode) {
                if (type == XCB_KEY_RELEASE) {
                    grab.released = true;
                    grab.releaseTime = keyEvent->time;
                } else {
                    const bool repeat = grab.released && keyEvent->time == grab.releaseTime;
                    grab.released = false;
                    presses += repeat ? 0 : 1;
                }
            }
        }
        std::free(event);
    }
    if (xcb_connection_has_error(grab.connection) != 0) {
        tell(problem, size, "the X display went away; the hotkey no longer works.");
        closeConnection();
        return presses;
    }
    bool going = true;
    if (grab.stage == Stage::layout) {
        going = sendGrabs(problem, size);
    }
    if (going && grab.stage == Stage::grabbing) {
        going = checkGrabs(problem, size);
    }
    if (!going) {
        closeConnection();
    }
    return presses;
}

void x11HotkeyStop() {
    if (grab.connection != nullptr && grab.stage != Stage::layout) {
        ungrabAll();
    }
    closeConnection();
}
