// The running copy's hotkey: registered at start, each press toggling the
// user's pause as --toggle does.
#pragma once

#include <optional>

#include "platform/platform.h"

// Registers the hotkey when one was asked for; a problem is one line on
// standard error, and the run goes on without it.
void startHotkey(const std::optional<Hotkey>& hotkey);

// After Wake::hotkey: toggles once per press. True when there was one.
bool followHotkey();

// At exit: lets go of the key, when one was registered.
void stopHotkey();
