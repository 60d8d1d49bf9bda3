// The readers behind --diagnose on Linux. Each may block on what it asks, so
// each runs on a reader thread of its own and hands its findings over one by
// one; the caller stops listening at its deadline.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/platform.h"

using FindingSink = std::function<void(Finding)>;

// This user's wlroots idle managers (swayidle, hypridle) found in /proc, and
// what hypridle's configuration says; another session's are listed apart.
void idleManagersDiagnose(const FindingSink& add);

struct HypridleConfig {
    bool ignoresDbusInhibit = false;
    std::optional<std::uint32_t> shortestTimeout;  // seconds, of its listeners
};
HypridleConfig parseHypridleConfig(const std::string& text);

// The configuration file of hypridle process pid: its -c/--config argument
// (empty where that is relative and its folder cannot be read), or
// $XDG_CONFIG_HOME/hypr/hypridle.conf.
std::string hypridleConfigPath(const std::vector<std::string>& arguments, const std::string& pid);

// swayidle's shortest "timeout N" among its arguments.
std::optional<std::uint32_t> swayidleShortestTimeout(const std::vector<std::string>& arguments);
