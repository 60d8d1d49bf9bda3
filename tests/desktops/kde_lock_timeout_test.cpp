// The KDE screen locker's timeout as keepawake reads it from kscreenlockerrc.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/dbus/desktop_timeouts.h"

namespace {

struct Case {
    const char* text;
    std::uint32_t seconds;
};

TEST(KdeLockTimeout, ReadsTheDaemonGroupsTimeoutInMinutes) {
    const Case cases[] = {
        {"[Daemon]\nAutolock=true\nTimeout=1\n", 60},
        {"[Daemon]\r\nTimeout = 15 \r\n", 900},
        {"", 300},                                             // KDE's default
        {"[Greeter]\nTimeout=9\n", 300},                       // another group's key
        {"[Daemon]\nTimeout=2\n[Greeter]\nTimeout=9\n", 120},  // the group ends at the next
        {"[Greeter][Daemon]\nTimeout=9\n", 300},               // a nested group is another group
        {"[Daemon]\n# Timeout=9\nTimeout[$i]=3\n", 180},       // comments; an immutable key
        {"[Daemon]\nTimeout=4\nTimeout=6\n", 360},             // the last one wins
        {"[Daemon]\nTimeout=ten\n", 0},
        {"[Daemon]\nTimeout=-1\n", 0},
        {"[Daemon]\nTimeout=\n", 0},
        {"[Daemon]\nTimeout=71582789\n", 0xFFFFFFFFu},          // saturates, never wraps
        {"[Daemon]\nTimeout=99999999999999999999999\n", 0xFFFFFFFFu},
        {"[Daemon]\nno equals sign\nTimeout=1\n", 60},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kdeLockTimeoutSeconds(c.text), c.seconds) << c.text;
    }
}

TEST(KdeLockTimeout, ReadsTheFileFromTheConfigFolder) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "keepawake-kde-test";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string savedValue = saved != nullptr ? saved : "";
    setenv("XDG_CONFIG_HOME", folder.c_str(), 1);

    EXPECT_EQ(kdeLockTimeoutSeconds(), 300u) << "no file: KDE's default";
    std::ofstream(folder / "kscreenlockerrc") << "[Daemon]\nTimeout=7\n";
    EXPECT_EQ(kdeLockTimeoutSeconds(), 420u);
    std::filesystem::remove(folder / "kscreenlockerrc");
    std::filesystem::create_directory(folder / "kscreenlockerrc");
    EXPECT_EQ(kdeLockTimeoutSeconds(), 0u) << "there but not readable";

    if (saved != nullptr) {
        setenv("XDG_CONFIG_HOME", savedValue.c_str(), 1);
    } else {
        unsetenv("XDG_CONFIG_HOME");
    }
    std::filesystem::remove_all(folder);
}

}  // namespace
