// Stands in for the display: counts the nudges a worker sends.
#pragma once

#include <atomic>

namespace counting {

extern std::atomic<int> nudges;       // zero-distance relative moves
extern std::atomic<int> otherInputs;  // anything else: a worker must never send it
extern std::atomic<long> periodMs;    // keepAwakePeriod's answer; negative: the interval itself

}  // namespace counting
