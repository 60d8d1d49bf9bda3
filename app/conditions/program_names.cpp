#include "app/conditions/program_names.h"

#include <algorithm>

namespace conditions {

namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

std::string_view withoutExe(std::string_view name) {
    constexpr std::string_view exe = ".exe";
    if (name.size() > exe.size() && sameIgnoringCase(name.substr(name.size() - exe.size()), exe)) {
        name.remove_suffix(exe.size());
    }
    return name;
}

}  // namespace

std::string programNameProblem(std::string_view name) {
    if (name.empty()) {
        return "empty program name";
    }
    if (name.find_first_of("/\\") != std::string_view::npos) {
        return "program name '" + std::string(name) + "' has a folder in it (give the file name alone)";
    }
    if (name.size() > 255) {
        return "program name '" + std::string(name.substr(0, 32)) + "...' is longer than a file name can be";
    }
    if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
        return "program name has a control character in it";
    }
    return {};
}

bool programNameMatches(std::string_view wanted, std::string_view fileName, NameRules rules) {
    if (rules == NameRules::exact) {
        return wanted == fileName;
    }
    return sameIgnoringCase(withoutExe(wanted), withoutExe(fileName));
}

std::string describeNames(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    }
    return text;
}

}  // namespace conditions
