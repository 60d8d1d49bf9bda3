// The keys of --hotkey: "ctrl+alt+k", "super+shift+f9".
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

// Reads the modifiers (ctrl, alt, shift, super or win) and the one key,
// joined by "+", in any case and order. Nothing, with *problem saying why,
// when the text names no such combination.
std::optional<Hotkey> parseHotkey(const std::string& text, std::string* problem);
