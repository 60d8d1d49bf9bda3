// The display bindings a Linux session can be kept awake through. Each one
// implements the display calls of platform.h under its own prefix;
// linux_display.cpp picks one at first use and sends every call there.
#pragma once

#include "platform/platform.h"

// X11 through XCB and XTEST.
std::uint32_t x11ReadScreenSaverTimeout();
void x11SendMouseInput(const MouseInput& input);
void x11CloseDisplay();
