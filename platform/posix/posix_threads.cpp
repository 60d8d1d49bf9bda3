// Threads with a per-thread message queue and timers, as the Windows thread
// message queue behaves: timer messages are generated when due, at most one
// pending per timer; a posted stop request ends getMessage, a re-plan request
// comes out as its message; a held thread handles nothing. Every wait blocks on a condition variable with a deadline
// on the steady clock, so a thread between ticks costs nothing.
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned wmQuit = 0x0012;
constexpr unsigned wmTimer = 0x0113;

// Windows clamps timer periods to this range; a zero period would spin.
constexpr std::uint32_t shortestTimerMs = 10;
constexpr std::uint32_t longestTimerMs = 0x7FFFFFFF;

struct Timer {
    std::uintptr_t id;
    Clock::duration period;
    TimerProc proc;
    Clock::time_point due;
};

struct ThreadRecord {
    std::uint32_t id = 0;
    ThreadEntry entry = nullptr;
    void* argument = nullptr;
    pthread_t thread{};

    std::mutex mutex;
    std::condition_variable changed;
    unsigned pendingQuits = 0;
    bool pendingReplan = false;
    std::uint32_t replanInterval = 0;  // the last asked for; 0: unchanged
    bool pendingNudge = false;
    std::vector<Timer> timers;
    std::uintptr_t nextTimerId = 1;
    unsigned suspendCount = 0;
    bool dispatching = false;
    bool ended = false;
};

std::mutex registryMutex;
std::map<std::uint32_t, std::shared_ptr<ThreadRecord>> registry;  // threads with open handles
std::uint32_t lastThreadId = 0;

thread_local ThreadRecord* currentRecord = nullptr;

// Threads not started here (the main thread) get a queue on first use.
ThreadRecord& currentQueue() {
    if (currentRecord == nullptr) {
        thread_local std::shared_ptr<ThreadRecord> adopted = std::make_shared<ThreadRecord>();
        currentRecord = adopted.get();
    }
    return *currentRecord;
}

void* threadMain(void* startArgument) {
    std::shared_ptr<ThreadRecord> record = std::move(*static_cast<std::shared_ptr<ThreadRecord>*>(startArgument));
    delete static_cast<std::shared_ptr<ThreadRecord>*>(startArgument);

    currentRecord = record.get();
    record->entry(record->argument);
    currentRecord = nullptr;

    {
        std::lock_guard<std::mutex> lock(record->mutex);
        record->ended = true;
    }
    record->changed.notify_all();
    return nullptr;
}

std::shared_ptr<ThreadRecord> findThread(std::uint32_t threadId) {
    std::lock_guard<std::mutex> lock(registryMutex);
    auto found = registry.find(threadId);
    return found == registry.end() ? nullptr : found->second;
}

// Removes the thread from the registry and hands back the registry's share.
std::shared_ptr<ThreadRecord> forgetThread(std::uint32_t threadId) {
    std::lock_guard<std::mutex> lock(registryMutex);
    auto found = registry.find(threadId);
    if (found == registry.end()) {
        return nullptr;
    }
    std::shared_ptr<ThreadRecord> record = std::move(found->second);
    registry.erase(found);
    return record;
}

}  // namespace

ThreadHandle beginThread(ThreadEntry entry, void* argument, std::uint32_t* threadId) {
    std::shared_ptr<ThreadRecord> record;
    try {
        record = std::make_shared<ThreadRecord>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    record->entry = entry;
    record->argument = argument;

    // The queue exists before the thread does, so a stop request posted at
    // any moment after this returns is kept for it.
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        do {
            ++lastThreadId;
        } while (lastThreadId == 0 || registry.count(lastThreadId) != 0);
        record->id = lastThreadId;
        registry[record->id] = record;
    }

    auto* startArgument = new (std::nothrow) std::shared_ptr<ThreadRecord>(record);
    if (startArgument == nullptr) {
        forgetThread(record->id);
        return nullptr;
    }

    // The new thread takes no asynchronous signals: Ctrl+C and the like stay
    // with the main thread, and a write to a closed socket fails with EPIPE
    // instead of ending the process.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const int created = pthread_create(&record->thread, nullptr, threadMain, startArgument);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    if (created != 0) {
        delete startArgument;
        forgetThread(record->id);
        return nullptr;
    }
    if (threadId != nullptr) {
        *threadId = record->id;
    }
    return record.get();
}

void suspendThread(ThreadHandle thread) {
    if (thread == nullptr) {
        return;
    }
    auto* record = static_cast<ThreadRecord*>(thread);
    std::unique_lock<std::mutex> lock(record->mutex);
    if (record->suspendCount++ == 0) {
        // Wake the thread now, so that it drops its timer deadline and
        // sleeps until the release instead of waking once more while held.
        record->changed.notify_all();
    }
    // Like a suspended thread, a callback already running is not cut short,
    // but once this returns no further one starts until the release.
    if (record != currentRecord) {
        record->changed.wait(lock, [record] { return !record->dispatching; });
    }
}

void resumeThread(ThreadHandle thread) {
    if (thread == nullptr) {
        return;
    }
    auto* record = static_cast<ThreadRecord*>(thread);
    {
        std::lock_guard<std::mutex> lock(record->mutex);
        if (record->suspendCount == 0) {
            return;
        }
        if (--record->suspendCount != 0) {
            return;
        }
    }
    record->changed.notify_all();
}

void waitForThread(ThreadHandle thread) {
    if (thread == nullptr) {
        return;
    }
    auto* record = static_cast<ThreadRecord*>(thread);
    std::unique_lock<std::mutex> lock(record->mutex);
    record->changed.wait(lock, [record] { return record->ended; });
}

void closeThreadHandle(ThreadHandle thread) {
    if (thread == nullptr) {
        return;
    }
    auto* record = static_cast<ThreadRecord*>(thread);
    const std::shared_ptr<ThreadRecord> keep = forgetThread(record->id);
    if (keep == nullptr) {
        return;  // already closed
    }

    bool ended;
    {
        std::lock_guard<std::mutex> lock(record->mutex);
        ended = record->ended;
    }
    // An ended thread is reaped now; a running one cleans up after itself.
    if (ended) {
        pthread_join(record->thread, nullptr);
    } else {
        pthread_detach(record->thread);
    }
}

void postQuitMessage(std::uint32_t threadId) {
    std::shared_ptr<ThreadRecord> record = findThread(threadId);
    if (record == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(record->mutex);
        ++record->pendingQuits;
    }
    record->changed.notify_all();
}

void postReplanMessage(std::uint32_t threadId, std::uint32_t intervalMs) {
    std::shared_ptr<ThreadRecord> record = findThread(threadId);
    if (record == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(record->mutex);
        record->pendingReplan = true;
        if (intervalMs != 0) {
            record->replanInterval = intervalMs;
        }
    }
    record->changed.notify_all();
}

void postNudgeMessage(std::uint32_t threadId) {
    std::shared_ptr<ThreadRecord> record = findThread(threadId);
    if (record == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(record->mutex);
        record->pendingNudge = true;
    }
    record->changed.notify_all();
}

std::uintptr_t setTimer(std::uint32_t intervalMs, TimerProc proc) {
    ThreadRecord& queue = currentQueue();
    const auto period = std::chrono::milliseconds(std::clamp(intervalMs, shortestTimerMs, longestTimerMs));
    std::lock_guard<std::mutex> lock(queue.mutex);
    try {
        queue.timers.push_back(Timer{queue.nextTimerId, period, proc, Clock::now() + period});
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return queue.nextTimerId++;
}

void killTimer(std::uintptr_t timerId) {
    ThreadRecord& queue = currentQueue();
    std::lock_guard<std::mutex> lock(queue.mutex);
    auto& timers = queue.timers;
    timers.erase(std::remove_if(timers.begin(), timers.end(), [timerId](const Timer& t) { return t.id == timerId; }),
                 timers.end());
}

bool getMessage(ThreadMessage* message) {
    ThreadRecord& queue = currentQueue();
    std::unique_lock<std::mutex> lock(queue.mutex);
    for (;;) {
        Timer* next = nullptr;
        if (queue.suspendCount == 0) {
            if (queue.pendingQuits != 0) {
                --queue.pendingQuits;
                *message = ThreadMessage{nullptr, wmQuit, 0, 0, 0, 0, 0};
                return false;
            }
            if (queue.pendingReplan) {
                queue.pendingReplan = false;
                *message = ThreadMessage{nullptr, replanMessage, queue.replanInterval, 0, 0, 0, 0};
                queue.replanInterval = 0;
                return true;
            }
            if (queue.pendingNudge) {
                queue.pendingNudge = false;
                *message = ThreadMessage{nullptr, nudgeMessage, 0, 0, 0, 0, 0};
                return true;
            }
            for (Timer& timer : queue.timers) {
                if (next == nullptr || timer.due < next->due) {
                    next = &timer;
                }
            }
            const Clock::time_point now = Clock::now();
            if (next != nullptr && next->due <= now) {
                // Missed periods collapse into this one message; the next
                // one keeps the timer's phase.
                const auto missed = (now - next->due) / next->period;
                next->due += next->period * (missed + 1);
                const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
                *message = ThreadMessage{nullptr,
                                         wmTimer,
                                         next->id,
                                         reinterpret_cast<std::intptr_t>(next->proc),
                                         static_cast<PlatformTime>(ms.count()),
                                         0,
                                         0};
                return true;
            }
        }
        if (next != nullptr) {
            const Clock::time_point due = next->due;
            queue.changed.wait_until(lock, due);
        } else {
            queue.changed.wait(lock);
        }
    }
}

void dispatchMessage(const ThreadMessage* message) {
    if (message->message != wmTimer || message->lParam == 0) {
        return;
    }
    ThreadRecord& queue = currentQueue();
    {
        std::unique_lock<std::mutex> lock(queue.mutex);
        // Held between taking the message and running it: wait for release.
        queue.changed.wait(lock, [&queue] { return queue.suspendCount == 0; });
        queue.dispatching = true;
    }
    reinterpret_cast<TimerProc>(message->lParam)(message->window, message->message, message->wParam, message->time);
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        queue.dispatching = false;
    }
    queue.changed.notify_all();
}
