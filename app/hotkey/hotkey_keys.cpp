#include "app/hotkey/hotkey_keys.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace {

struct Name {
    const char* text;
    std::uint32_t value;
};

constexpr std::array<Name, 5> modifierNames{{
    {"ctrl", hotkeyCtrl}, {"alt", hotkeyAlt}, {"shift", hotkeyShift}, {"super", hotkeySuper}, {"win", hotkeySuper},
}};

// The first spelling of each key is the one messages use.
constexpr std::array<Name, 22> keyNames{{
    {"pause", hotkeyPause},       {"space", hotkeySpace},     {"home", hotkeyHome},
    {"end", hotkeyEnd},           {"insert", hotkeyInsert},   {"ins", hotkeyInsert},
    {"delete", hotkeyDelete},     {"del", hotkeyDelete},      {"pageup", hotkeyPageUp},
    {"pgup", hotkeyPageUp},       {"pagedown", hotkeyPageDown}, {"pgdn", hotkeyPageDown},
    {"left", hotkeyLeft},         {"up", hotkeyUp},           {"right", hotkeyRight},
    {"down", hotkeyDown},         {"print", hotkeyPrint},     {"escape", hotkeyEscape},
    {"esc", hotkeyEscape},        {"tab", hotkeyTab},         {"enter", hotkeyEnter},
    {"backspace", hotkeyBackspace},
}};

constexpr const char* keyList =
    "a-z, 0-9, f1-f24, pause, space, home, end, insert, delete, pageup, pagedown, left, up, right, down, "
    "print, escape, tab, enter, backspace";

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::optional<std::uint32_t> findKey(const std::string& word) {
    if (word.size() == 1 && std::isalnum(static_cast<unsigned char>(word[0])) != 0) {
        return static_cast<std::uint32_t>(word[0]);
    }
    if (word.size() >= 2 && word.size() <= 3 && word[0] == 'f' &&
        std::all_of(word.begin() + 1, word.end(), [](char c) { return c >= '0' && c <= '9'; }) && word[1] != '0') {
        const int number = std::stoi(word.substr(1));
        if (number >= 1 && number <= 24) {
            return hotkeyF1 + static_cast<std::uint32_t>(number - 1);
        }
    }
    for (const Name& name : keyNames) {
        if (word == name.text) {
            return name.value;
        }
    }
    return std::nullopt;
}

// What the key is called in messages: its first spelling.
std::string keyName(std::uint32_t key) {
    if (key < 0x80) {
        return std::string(1, static_cast<char>(key));
    }
    if (key >= hotkeyF1 && key < hotkeyF1 + 24) {
        std::string name = std::to_string(key - hotkeyF1 + 1);
        return name.insert(0, 1, 'f');
    }
    for (const Name& name : keyNames) {
        if (name.value == key) {
            return name.text;
        }
    }
    return "?";
}

// Typing keys: grabbing one without a modifier, or with shift alone, would
// take it from every program.
bool types(std::uint32_t key) {
    return key < 0x80 || key == hotkeySpace || key == hotkeyTab || key == hotkeyEnter || key == hotkeyBackspace;
}

}  // namespace

std::optional<Hotkey> parseHotkey(const std::string& text, std::string* problem) {
    const std::string quoted = "hotkey '" + text + "'";
    Hotkey hotkey;
    std::optional<std::uint32_t> key;
    const std::string words = lowered(text);
    std::size_t start = 0;
    for (;;) {
        const std::size_t plus = words.find('+', start);
        const std::string word = words.substr(start, plus == std::string::npos ? std::string::npos : plus - start);
        if (word.empty()) {
            *problem = "empty key name in " + quoted + " (use names joined by '+', such as ctrl+alt+k)";
            return std::nullopt;
        }
        const auto modifier = std::find_if(modifierNames.begin(), modifierNames.end(),
                                           [&word](const Name& name) { return word == name.text; });
        if (modifier != modifierNames.end()) {
            if ((hotkey.modifiers & modifier->value) != 0) {
                *problem = "modifier '" + word + "' given twice in " + quoted;
                return std::nullopt;
            }
            hotkey.modifiers |= modifier->value;
        } else if (const auto found = findKey(word)) {
            if (key) {
                *problem = quoted + " names two keys, '" + keyName(*key) + "' and '" + word + "'; give one";
                return std::nullopt;
            }
            key = found;
        } else {
            *problem = "unknown key '" + word + "' in " + quoted + " (keys: " + keyList +
                       "; modifiers: ctrl, alt, shift, super or win)";
            return std::nullopt;
        }
        if (plus == std::string::npos) {
            break;
        }
        start = plus + 1;
    }
    if (!key) {
        *problem = quoted + " has no key besides its modifiers (such as ctrl+alt+k)";
        return std::nullopt;
    }
    if (types(*key) && (hotkey.modifiers & ~hotkeyShift) == 0) {
        *problem = quoted + " would take a typing key from every program; add ctrl, alt or super";
        return std::nullopt;
    }
    hotkey.key = *key;
    // In one order whatever the user's, "win" read as "super".
    for (std::size_t i = 0; i < 4; ++i) {
        if ((hotkey.modifiers & modifierNames[i].value) != 0) {
            hotkey.name += std::string(modifierNames[i].text) + "+";
        }
    }
    hotkey.name += keyName(*key);
    return hotkey;
}
