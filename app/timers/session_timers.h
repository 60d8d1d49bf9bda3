// The session's timers: which one the nudges must beat, and how to say so.
// Pure: the platform reads the timers, this only chooses and describes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace timers {

// The shortest timer of this session that input holds off, of a watcher
// that runs here and could be read; null when there is none.
const SessionTimer* pacingTimer(const std::vector<SessionTimer>& timers);

// One eightieth of that timer, 30 ms up to 60 s; 30 ms when none is known.
std::uint32_t intervalFor(const std::vector<SessionTimer>& timers);

// "90 s", "2 min", "1 h", "1 h 30 min", "off" for 0.
std::string describeSeconds(std::uint32_t seconds);

// "xscreensaver's 2 min".
std::string describeTimer(const SessionTimer& timer);

}  // namespace timers
