// Which running programs count for --while-running: names as the user gives
// them, and how a program's file name is compared with them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace conditions {

// Why the name cannot be one (empty, a folder in it, too long); empty when
// it can.
std::string programNameProblem(std::string_view name);

// Whether the file name is the wanted one. exact: byte for byte (Linux);
// windows: ASCII letters in any case, and ".exe" on either side optional.
bool programNameMatches(std::string_view wanted, std::string_view fileName, NameRules rules);

// "obs", "obs or zoom", "obs, zoom or teams".
std::string describeNames(const std::vector<std::string>& names);

}  // namespace conditions
