// xcb_connect waits for the server's answer to the connection setup, and the
// extension queries wait for theirs: a display that accepts and never answers
// would hold the caller for ever. So they run on a detached thread, and the
// caller only ever waits for it with a limit.
#include "platform/x11/x11_connect.h"

#include <pthread.h>
#include <signal.h>
#include <xcb/screensaver.h>
#include <xcb/sync.h>
#include <xcb/xtest.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

struct ConnectAttempt {
    bool idleTime = false;
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    bool abandoned = false;
    X11Connection result;
};

namespace {

// Without XAUTHORITY, libXau builds the default authority file name in a
// static buffer that an exit handler frees: an attempt still in flight at
// exit could be writing it at that moment. Naming the same file in the
// environment, once and before any attempt thread exists, keeps every thread
// off that buffer.
void nameAuthorityFile() {
    static bool named = false;
    if (named) {
        return;
    }
    named = true;
    const char* home = std::getenv("HOME");
    if (std::getenv("XAUTHORITY") == nullptr && home != nullptr && *home != '\0') {
        const std::string file = std::string(std::strcmp(home, "/") == 0 ? "" : home) + "/.Xauthority";
        setenv("XAUTHORITY", file.c_str(), 0);
    }
}

// Everything here may block; it runs only on the attempt's own thread.
}  // namespace

std::uint32_t findIdleTimeCounter(xcb_connection_t* connection) {
    xcb_generic_error_t* error = nullptr;
    std::free(xcb_sync_initialize_reply(connection, xcb_sync_initialize(connection, 3, 1), &error));
    std::free(error);
    xcb_sync_list_system_counters_reply_t* list =
        xcb_sync_list_system_counters_reply(connection, xcb_sync_list_system_counters(connection), nullptr);
    if (list == nullptr) {
        return 0;
    }
    // Read from the wire format itself: XCB's systemcounter accessors put
    // the name two bytes off. Each entry: counter (4), resolution (8),
    // name length (2), the name, padded to a multiple of 4.
    std::uint32_t found = 0;
    const auto* at = reinterpret_cast<const std::uint8_t*>(list + 1);
    const std::uint8_t* end = at + std::size_t{list->length} * 4;
    for (std::uint32_t i = 0; i < list->counters_len && at + 14 <= end && found == 0; ++i) {
        std::uint32_t counter = 0;
        std::uint16_t length = 0;
        std::memcpy(&counter, at, sizeof counter);
        std::memcpy(&length, at + 12, sizeof length);
        if (at + 14 + length > end) {
            break;
        }
        if (std::string(reinterpret_cast<const char*>(at + 14), length) == "IDLETIME") {
            found = counter;
        }
        at += (14 + length + 3) / 4 * 4;
    }
    std::free(list);
    return found;
}

namespace {

X11Connection connectNow(bool idleTime) {
    X11Connection made;
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        return made;
    }
    // Both extension queries and the timeout share one round trip.
    xcb_prefetch_extension_data(connection, &xcb_test_id);
    xcb_prefetch_extension_data(connection, &xcb_screensaver_id);
    if (idleTime) {
        xcb_prefetch_extension_data(connection, &xcb_sync_id);
    }
    const xcb_get_screen_saver_cookie_t saver = xcb_get_screen_saver(connection);
    const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(connection, &xcb_test_id);
    const xcb_query_extension_reply_t* idle = xcb_get_extension_data(connection, &xcb_screensaver_id);
    xcb_get_screen_saver_reply_t* timeout = xcb_get_screen_saver_reply(connection, saver, nullptr);
    if (xtest == nullptr || xtest->present == 0 || xcb_connection_has_error(connection) != 0) {
        std::free(timeout);
        xcb_disconnect(connection);
        return made;
    }
    made.connection = connection;
    made.root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    made.screenSaverTimeout = timeout != nullptr ? timeout->timeout : 0;
    made.idleCounter = idle != nullptr && idle->present != 0;
    std::free(timeout);
    if (idleTime) {
        const xcb_query_extension_reply_t* sync = xcb_get_extension_data(connection, &xcb_sync_id);
        made.sync = sync != nullptr && sync->present != 0;
        made.idleTimeCounter = made.sync ? findIdleTimeCounter(connection) : 0;
    }
    return made;
}

void* runAttempt(void* argument) {
    auto* handed = static_cast<std::shared_ptr<ConnectAttempt>*>(argument);
    const std::shared_ptr<ConnectAttempt> attempt = std::move(*handed);
    delete handed;

    X11Connection made = connectNow(attempt->idleTime);
    bool unwanted;
    {
        std::lock_guard<std::mutex> lock(attempt->mutex);
        unwanted = attempt->abandoned;
        if (!unwanted) {
            attempt->result = made;
        }
        attempt->done = true;
    }
    attempt->ended.notify_all();
    if (unwanted && made.connection != nullptr) {
        xcb_disconnect(made.connection);
    }
    return nullptr;
}

}  // namespace

std::shared_ptr<ConnectAttempt> startConnectAttempt(bool idleTime) {
    nameAuthorityFile();
    auto attempt = std::make_shared<ConnectAttempt>();
    attempt->idleTime = idleTime;
    auto* handed = new std::shared_ptr<ConnectAttempt>(attempt);

    // The thread takes no signals: a write to a vanished server fails with
    // EPIPE there instead of ending the process.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_attr_t detached;
    pthread_attr_init(&detached);
    pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int created = pthread_create(&thread, &detached, runAttempt, handed);
    pthread_attr_destroy(&detached);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    if (created != 0) {
        delete handed;
        return nullptr;
    }
    return attempt;
}

bool finishConnectAttempt(ConnectAttempt& attempt, std::chrono::milliseconds limit, X11Connection* result) {
    std::unique_lock<std::mutex> lock(attempt.mutex);
    if (!attempt.ended.wait_for(lock, limit, [&attempt] { return attempt.done; })) {
        return false;
    }
    *result = attempt.result;
    attempt.result = X11Connection{};
    return true;
}

void abandonConnectAttempt(ConnectAttempt& attempt) {
    xcb_connection_t* late = nullptr;
    {
        std::lock_guard<std::mutex> lock(attempt.mutex);
        attempt.abandoned = true;
        late = attempt.result.connection;
        attempt.result = X11Connection{};
    }
    if (late != nullptr) {
        xcb_disconnect(late);
    }
}
