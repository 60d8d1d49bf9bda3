// The X display through XCB and XTEST, as keepawake-x11.so offers it.
#pragma once

#include <cstdint>

std::uint32_t x11ReadScreenSaverTimeout();
void x11SendRelativeMove(std::int32_t dx, std::int32_t dy);
void x11CloseDisplay();
// 1 while the display has not answered the connection the nudges wait for:
// nothing else is asked of it meanwhile.
int x11DisplayUnanswered();
