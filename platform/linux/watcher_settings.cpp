// Small readers of two settings formats. xfconfd writes its channel files in
// one plain shape (nested <property name type value> elements, no text
// content), and LXQt writes QSettings' INI: a reader of each is shorter than
// what binding a general parser into the program (which links no XML, GLib
// or Qt library) would take.
#include "platform/linux/watcher_settings.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>

namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// --- xfconf ------------------------------------------------------------------

std::string decodeEntities(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::size_t end = text[i] == '&' ? text.find(';', i) : std::string::npos;
        if (end == std::string::npos) {
            out += text[i];
            continue;
        }
        const std::string name = text.substr(i + 1, end - i - 1);
        if (name == "lt") {
            out += '<';
        } else if (name == "gt") {
            out += '>';
        } else if (name == "amp") {
            out += '&';
        } else if (name == "quot") {
            out += '"';
        } else if (name == "apos") {
            out += '\'';
        } else if (name.size() > 1 && name[0] == '#') {
            const bool hex = name[1] == 'x' || name[1] == 'X';
            const unsigned long code = std::strtoul(name.c_str() + (hex ? 2 : 1), nullptr, hex ? 16 : 10);
            // Property values here are numbers and words: a code beyond
            // ASCII is kept as it was written.
            if (code == 0 || code > 0x7f) {
                out += "&" + name + ";";
            } else {
                out += static_cast<char>(code);
            }
        } else {
            out += "&" + name + ";";
        }
        i = end;
    }
    return out;
}

struct Element {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    bool closing = false;      // </name>
    bool selfClosing = false;  // <name/>

    const std::string* attribute(const std::string& key) const {
        for (const auto& [name, value] : attributes) {
            if (name == key) {
                return &value;
            }
        }
        return nullptr;
    }
};

// The tag starting at text[at] ('<'), or false where it is not one this
// reader takes (a declaration, comment or doctype is skipped as no tag).
// *next is where reading goes on.
bool readTag(const std::string& text, std::size_t at, Element* element, std::size_t* next) {
    auto skipTo = [&](const char* end) {
        const std::size_t found = text.find(end, at);
        *next = found == std::string::npos ? text.size() : found + std::char_traits<char>::length(end);
        return false;
    };
    if (text.compare(at, 4, "<!--") == 0) {
        return skipTo("-->");
    }
    if (text.compare(at, 2, "<?") == 0) {
        return skipTo("?>");
    }
    if (text.compare(at, 2, "<!") == 0) {
        return skipTo(">");
    }
    std::size_t i = at + 1;
    element->closing = i < text.size() && text[i] == '/';
    i += element->closing ? 1 : 0;
    const std::size_t nameStart = i;
    while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])) && text[i] != '>' && text[i] != '/') {
        ++i;
    }
    element->name = text.substr(nameStart, i - nameStart);
    while (i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
            ++i;
        }
        if (i >= text.size()) {
            break;
        }
        if (text[i] == '>') {
            *next = i + 1;
            return !element->name.empty();
        }
        if (text[i] == '/') {
            element->selfClosing = true;
            ++i;
            continue;
        }
        const std::size_t keyStart = i;
        while (i < text.size() && text[i] != '=' && text[i] != '>' && !std::isspace(static_cast<unsigned char>(text[i]))) {
            ++i;
        }
        const std::string key = text.substr(keyStart, i - keyStart);
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
            ++i;
        }
        if (i >= text.size() || text[i] != '=') {
            continue;  // a bare word: no value
        }
        ++i;
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
            ++i;
        }
        if (i >= text.size() || (text[i] != '"' && text[i] != '\'')) {
            break;
        }
        const std::size_t close = text.find(text[i], i + 1);
        if (close == std::string::npos) {
            break;
        }
        element->attributes.emplace_back(key, decodeEntities(text.substr(i + 1, close - i - 1)));
        i = close + 1;
    }
    *next = text.size();  // a tag that never ends: nothing after it counts
    return false;
}

bool lockedFor(const std::string* locked, const SettingsUser& user) {
    if (locked == nullptr) {
        return false;
    }
    std::istringstream entries(*locked);
    std::string entry;
    while (std::getline(entries, entry, ',')) {
        entry = trimmed(entry);
        if (entry == "*" || (!entry.empty() && entry == user.name) ||
            (entry.size() > 1 && entry[0] == '@' &&
             std::find(user.groups.begin(), user.groups.end(), entry.substr(1)) != user.groups.end())) {
            return true;
        }
    }
    return false;
}

struct ChannelProperty {
    std::optional<std::string> value;
    bool locked = false;
};

// Property path's entry in one channel file; found false when the file does
// not name it.
ChannelProperty findProperty(const std::string& text, const std::string& path, const SettingsUser& user,
                             bool* found) {
    *found = false;
    ChannelProperty result;
    std::vector<std::string> open;  // the names of the elements open, "" for those that are no property
    std::string prefix;
    bool channelLocked = false;
    std::size_t at = 0;
    while ((at = text.find('<', at)) != std::string::npos) {
        Element element;
        std::size_t next = at + 1;
        const bool tag = readTag(text, at, &element, &next);
        at = next;
        if (!tag) {
            continue;
        }
        if (element.closing) {
            if (!open.empty()) {
                if (!open.back().empty()) {
                    prefix.erase(prefix.rfind('/'));
                }
                open.pop_back();
            }
            continue;
        }
        std::string name;
        if (element.name == "channel") {
            channelLocked = lockedFor(element.attribute("locked"), user);
        } else if (const std::string* propertyName = element.attribute("name");
                   element.name == "property" && propertyName != nullptr && !propertyName->empty()) {
            name = lowered(*propertyName);
            if (prefix + "/" + name == path) {
                *found = true;
                if (const std::string* value = element.attribute("value"); value != nullptr) {
                    result.value = *value;
                }
                result.locked = channelLocked || lockedFor(element.attribute("locked"), user);
                return result;
            }
        }
        if (!element.selfClosing) {
            open.push_back(name);
            if (!name.empty()) {
                prefix += "/" + name;
            }
        }
    }
    // Locking the whole channel locks what it leaves out too: the
    // program's default then holds.
    if (channelLocked) {
        *found = true;
        result.locked = true;
    }
    return result;
}

// --- Qt INI ------------------------------------------------------------------

bool isHex(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// A value as QSettings writes it: quoted parts, backslash escapes, \xHH and
// octal codes.
std::string unescapeQt(const std::string& text) {
    std::string out;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        if (c != '\\' || i + 1 >= text.size()) {
            out += c;
            continue;
        }
        const char e = text[++i];
        switch (e) {
        case 'a': out += '\a'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'v': out += '\v'; break;
        case 'x': {
            unsigned code = 0;
            while (i + 1 < text.size() && isHex(text[i + 1])) {
                code = code * 16 + static_cast<unsigned>(std::stoi(std::string(1, text[++i]), nullptr, 16));
            }
            out += static_cast<char>(code & 0xff);
            break;
        }
        default:
            if (e >= '0' && e <= '7') {
                unsigned code = static_cast<unsigned>(e - '0');
                while (i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '7') {
                    code = code * 8 + static_cast<unsigned>(text[++i] - '0');
                }
                out += static_cast<char>(code & 0xff);
            } else {
                out += e;  // \" \' \\ \? \; \,
            }
        }
    }
    return out;
}

// QSettings stores a QTime as @Variant(type 15, a null flag, then the
// milliseconds since midnight, big-endian).
std::string qtValue(const std::string& raw) {
    const std::string value = trimmed(raw);
    const std::string variant = "@Variant(";
    if (value.rfind(variant, 0) != 0 || value.back() != ')') {
        return unescapeQt(value);
    }
    const std::string bytes = unescapeQt(value.substr(variant.size(), value.size() - variant.size() - 1));
    const auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])); };
    if ((bytes.size() == 9 || bytes.size() == 8) && byte(0) == 0 && byte(1) == 0 && byte(2) == 0 && byte(3) == 15) {
        const std::size_t at = bytes.size() - 4;
        const std::uint32_t ms = byte(at) << 24 | byte(at + 1) << 16 | byte(at + 2) << 8 | byte(at + 3);
        return "@Time:" + std::to_string(ms / 1000);
    }
    return value;  // another type: not one read here
}

std::optional<std::string> iniValue(const std::string& text, const std::string& key) {
    std::istringstream lines(text);
    std::string line;
    std::string group = "General";
    std::optional<std::string> found;
    while (std::getline(lines, line)) {
        line = trimmed(line);
        if (line.empty() || line[0] == ';' || line[0] == '#') {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            group = trimmed(line.substr(1, line.size() - 2));
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        std::string name = trimmed(line.substr(0, equals));
        std::replace(name.begin(), name.end(), '\\', '/');
        if (group + "/" + name == key) {
            found = qtValue(line.substr(equals + 1));  // the last one wins
        }
    }
    return found;
}

std::optional<std::int64_t> wholeNumber(const std::string& text) {
    const bool negative = !text.empty() && text[0] == '-';
    const std::string digits = text.substr(negative ? 1 : 0);
    if (digits.empty() || digits.size() > 12 || digits.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const std::int64_t number = std::stoll(digits);
    return negative ? -number : number;
}

}  // namespace

std::optional<std::string> xfconfValue(const std::vector<std::string>& files, const std::string& path,
                                       const SettingsUser& user) {
    const std::string wanted = lowered(path);
    std::optional<std::string> systemValue;
    bool systemHas = false;
    for (std::size_t i = 1; i < files.size(); ++i) {
        bool found = false;
        const ChannelProperty property = findProperty(files[i], wanted, user, &found);
        if (found && property.locked) {
            return property.value;
        }
        if (found && property.value && !systemHas) {
            systemValue = property.value;
            systemHas = true;
        }
    }
    if (!files.empty()) {
        bool found = false;
        const ChannelProperty property = findProperty(files[0], wanted, {}, &found);
        if (found && property.value) {
            return property.value;
        }
    }
    return systemValue;
}

std::optional<std::string> qtIniValue(const std::vector<std::string>& files, const std::string& key) {
    for (const std::string& file : files) {
        if (std::optional<std::string> value = iniValue(file, key)) {
            return value;
        }
    }
    return std::nullopt;
}

std::optional<bool> settingBool(const std::optional<std::string>& value) {
    if (!value) {
        return std::nullopt;
    }
    const std::string word = lowered(trimmed(*value));
    if (word == "true" || word == "1") {
        return true;
    }
    if (word == "false" || word == "0") {
        return false;
    }
    return std::nullopt;
}

std::optional<std::int64_t> settingNumber(const std::optional<std::string>& value) {
    if (!value) {
        return std::nullopt;
    }
    const std::string text = trimmed(*value);
    if (text.rfind("@Time:", 0) == 0) {
        return wholeNumber(text.substr(6));
    }
    return wholeNumber(text);
}
