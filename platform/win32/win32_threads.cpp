// Threads and their message queues, straight onto Win32.
#include <windows.h>
#include <process.h>

#include <type_traits>

#include "platform/platform.h"

static_assert(std::is_same_v<TimerProc, TIMERPROC>, "timer callbacks must match the system's");
static_assert(std::is_same_v<ThreadHandle, HANDLE>);

namespace {

struct ThreadStart {
    ThreadEntry entry;
    void* argument;
    HANDLE queueReady;
};

unsigned __stdcall threadStart(void* startArgument) {
    const ThreadStart start = *static_cast<ThreadStart*>(startArgument);
    // A thread has no message queue until it first calls a message function,
    // and a stop request posted before then would be lost; make it now.
    MSG message;
    PeekMessageA(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    SetEvent(start.queueReady);
    return start.entry(start.argument);
}

}  // namespace

ThreadHandle beginThread(ThreadEntry entry, void* argument, std::uint32_t* threadId) {
    ThreadStart start{entry, argument, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    if (start.queueReady == nullptr) {
        return nullptr;
    }
    unsigned id = 0;
    const auto thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, threadStart, &start, 0, &id));
    if (thread != nullptr) {
        // Return only once the queue exists (or the thread is already gone).
        HANDLE ready[2] = {start.queueReady, thread};
        WaitForMultipleObjects(2, ready, FALSE, INFINITE);
        if (threadId != nullptr) {
            *threadId = id;
        }
    }
    CloseHandle(start.queueReady);
    return thread;
}

void suspendThread(ThreadHandle thread) {
    SuspendThread(thread);
}

void resumeThread(ThreadHandle thread) {
    ResumeThread(thread);
}

void waitForThread(ThreadHandle thread) {
    WaitForSingleObject(thread, INFINITE);
}

void closeThreadHandle(ThreadHandle thread) {
    if (thread != nullptr) {
        CloseHandle(thread);
    }
}

void postQuitMessage(std::uint32_t threadId) {
    PostThreadMessageA(threadId, WM_QUIT, 0, 0);
}

void postReplanMessage(std::uint32_t threadId, std::uint32_t intervalMs) {
    static_assert(replanMessage == WM_APP + 1, "the re-plan message is an application message");
    PostThreadMessageA(threadId, replanMessage, intervalMs, 0);
}

void postNudgeMessage(std::uint32_t threadId) {
    static_assert(nudgeMessage == WM_APP + 2, "the nudge message is an application message");
    PostThreadMessageA(threadId, nudgeMessage, 0, 0);
}

std::uintptr_t setTimer(std::uint32_t intervalMs, TimerProc proc) {
    return SetTimer(nullptr, 0, intervalMs, proc);
}

void killTimer(std::uintptr_t timerId) {
    KillTimer(nullptr, timerId);
}

bool getMessage(ThreadMessage* message) {
    MSG msg{};
    const BOOL result = GetMessageA(&msg, nullptr, 0, 0);
    *message = ThreadMessage{msg.hwnd, msg.message, msg.wParam, msg.lParam, msg.time, msg.pt.x, msg.pt.y};
    return result != 0;
}

void dispatchMessage(const ThreadMessage* message) {
    MSG msg{};
    msg.hwnd = message->window;
    msg.message = message->message;
    msg.wParam = message->wParam;
    msg.lParam = message->lParam;
    msg.time = message->time;
    msg.pt.x = message->x;
    msg.pt.y = message->y;
    DispatchMessageA(&msg);
}
