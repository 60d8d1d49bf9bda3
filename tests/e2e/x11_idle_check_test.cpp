// When two readings of the server's idle counter around one nudge say that
// the nudge did not count: never while the user may simply have been active.
#include <gtest/gtest.h>

#include "platform/x11/x11_idle_check.h"

namespace {

TEST(IdleReadings, FailOnlyWhenTheCounterClearlyKeptClimbing) {
    struct Case {
        std::uint32_t beforeMs;
        std::uint32_t afterMs;
        IdleVerdict verdict;
        const char* why;
    };
    const Case cases[] = {
        {30, 0, IdleVerdict::took, "fell to zero after a 30 ms interval"},
        {5000, 4, IdleVerdict::took, "fell from a long idle span"},
        {1, 0, IdleVerdict::took, "fell by a millisecond"},
        {0, 0, IdleVerdict::undecided, "user input in the same millisecond"},
        {2, 3, IdleVerdict::undecided, "user active a moment ago: ask again"},
        {1000, 1000, IdleVerdict::undecided, "a second is not yet clearly idle"},
        {1000, 1001, IdleVerdict::failed, "kept climbing past a second"},
        {60000, 60002, IdleVerdict::failed, "idle for a minute and still climbing"},
        {0xFFFFFFF0u, 0xFFFFFFF0u, IdleVerdict::failed, "largest readings"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(judgeIdleReadings(c.beforeMs, c.afterMs), c.verdict) << c.why;
    }
}

}  // namespace
