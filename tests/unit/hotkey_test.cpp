// --hotkey: the names it reads, and the whole program against the fake with
// presses arriving between the waits.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/hotkey/hotkey_keys.h"
#include "app/keep_awake.h"
#include "tests/support/console_capture.h"
#include "tests/support/fake_platform.h"
#include "tests/support/program_run.h"
#include "tests/support/screens.h"

namespace {

using Words = std::vector<std::string>;

TEST(HotkeyKeys, ReadsNamesInAnyCaseAndOrder) {
    const struct {
        const char* text;
        const char* name;  // as messages spell it
        unsigned modifiers;
        std::uint32_t key;
    } cases[] = {
        {"ctrl+alt+k", "ctrl+alt+k", hotkeyCtrl | hotkeyAlt, 'k'},
        {"K+ALT+Ctrl", "ctrl+alt+k", hotkeyCtrl | hotkeyAlt, 'k'},
        {"Win+Shift+F9", "shift+super+f9", hotkeySuper | hotkeyShift, hotkeyF1 + 8},
        {"super+0", "super+0", hotkeySuper, '0'},
        {"f1", "f1", 0, hotkeyF1},
        {"shift+F24", "shift+f24", hotkeyShift, hotkeyF1 + 23},
        {"pause", "pause", 0, hotkeyPause},
        {"ctrl+alt+shift+super+end", "ctrl+alt+shift+super+end", 15, hotkeyEnd},
        {"alt+space", "alt+space", hotkeyAlt, hotkeySpace},
        {"ctrl+alt+Del", "ctrl+alt+delete", hotkeyCtrl | hotkeyAlt, hotkeyDelete},
        {"ctrl+PgDn", "ctrl+pagedown", hotkeyCtrl, hotkeyPageDown},
        {"home", "home", 0, hotkeyHome},
        {"shift+esc", "shift+escape", hotkeyShift, hotkeyEscape},
        {"ctrl+backspace", "ctrl+backspace", hotkeyCtrl, hotkeyBackspace},
    };
    for (const auto& c : cases) {
        std::string problem;
        const auto hotkey = parseHotkey(c.text, &problem);
        ASSERT_TRUE(hotkey) << c.text << ": " << problem;
        EXPECT_EQ(hotkey->name, c.name) << c.text;
        EXPECT_EQ(hotkey->modifiers, c.modifiers) << c.text;
        EXPECT_EQ(hotkey->key, c.key) << c.text;
    }
}

TEST(HotkeyKeys, BadNamesAreUsageErrorsNamingTheProblem) {
    const struct {
        const char* text;
        const char* named;  // part of the one line
    } cases[] = {
        {"", "empty key name"},
        {"ctrl+alt+kk", "unknown key 'kk'"},
        {"ctrl+alt", "has no key"},
        {"ctrl++k", "empty key name"},
        {"ctrl+alt+k+", "empty key name"},
        {"+k", "empty key name"},
        {"ctrl+ctrl+k", "'ctrl' given twice"},
        {"super+win+k", "'win' given twice"},
        {"ctrl+k+j", "two keys, 'k' and 'j'"},
        {"f0", "unknown key 'f0'"},
        {"f25", "unknown key 'f25'"},
        {"f01", "unknown key 'f01'"},
        {"f100", "unknown key 'f100'"},
        {"ctrl+\xc3\xa9", "unknown key"},
        {"ctrl+alt+ k", "unknown key ' k'"},
        {"k", "typing key"},
        {"shift+k", "typing key"},
        {"space", "typing key"},
        {"shift+tab", "typing key"},
        {"meta+k", "unknown key 'meta'"},
    };
    for (const auto& c : cases) {
        std::string problem;
        EXPECT_FALSE(parseHotkey(c.text, &problem)) << c.text;
        EXPECT_NE(problem.find(c.named), std::string::npos) << c.text << ": " << problem;
        EXPECT_NE(problem.find(std::string("'") + c.text + "'"), std::string::npos) << "names the whole: " << problem;
    }
}

// What happens between two waits: presses of the hotkey (with what the
// platform says alongside), or a typed key.
struct Step {
    int presses;
    std::string said;
    char key;
};
Step pressed(int times) {
    return Step{times, "", 0};
}
Step typed(char key) {
    return Step{0, "", key};
}
Step lost(const std::string& said) {
    return Step{0, said, 0};
}

class HotkeyRun : public ProgramRun {
protected:
    int run(const Words& words, const std::vector<Step>& steps) {
        return runSteps<Step>(words, steps, [](const Step& step) {
            return [step](char* byte) {
                if (step.key != 0) {
                    *byte = step.key;
                    return Wake::consoleByte;
                }
                fake::hotkeyPresses.emplace_back(step.presses, step.said);
                return Wake::hotkey;
            };
        });
    }

    long callCount(const std::string& call) const { return std::count(fake::calls.begin(), fake::calls.end(), call); }
};

const std::string exitLines = screens::quitting + screens::cleanedUp;
const std::string takenLine = "ctrl+alt+k is taken by another program; running without a hotkey.";

TEST_F(HotkeyRun, EachPressTogglesAsTheKeysDoAndTheMenuIsRedrawn) {
    const Words options{"--hotkey", "Alt+Ctrl+K"};
    const struct {
        const char* name;
        std::vector<Step> steps;
        std::string screens;
        std::string errors;
    } cases[] = {
        {"a press pauses, a second resumes", {pressed(1), pressed(1)}, screens::heldOff + screens::allowed + screens::heldOff, ""},
        {"two presses in one wake come back to awake, redrawn once", {pressed(2)}, screens::heldOff + screens::heldOff, ""},
        {"a press after d, and e after a press",
         {typed('e'), pressed(1), pressed(1), typed('e')},
         screens::heldOff + screens::allowed + screens::heldOff + screens::allowed + screens::allowed, ""},
        {"a wake without a press draws nothing", {pressed(0)}, screens::heldOff, ""},
        {"the key lost later: one line, no redraw, and the keys go on",
         {lost(takenLine), typed('e')},
         screens::heldOff + screens::allowed, "keepawake: " + takenLine + "\n"},
    };
    for (const auto& c : cases) {
        SetUp();
        EXPECT_EQ(run(options, c.steps), 0) << c.name;
        EXPECT_EQ(output, c.screens + exitLines) << c.name;
        EXPECT_EQ(errors, c.errors) << c.name;
        EXPECT_EQ(callCount("registerHotkey ctrl+alt+k"), 1) << c.name;
        EXPECT_EQ(callCount("releaseHotkey"), 1) << c.name << ": let go at exit";
        EXPECT_LE(fake::deepestSuspend, 1) << c.name;
        EXPECT_EQ(fake::suspendCount, 0) << c.name << ": the exit must release the worker";
    }
}

TEST_F(HotkeyRun, ARefusedHotkeyIsOneLineAndTheRunGoesOn) {
    fake::hotkeyProblem = takenLine;
    EXPECT_EQ(run({"--hotkey", "ctrl+alt+k"}, {typed('e')}), 0);
    EXPECT_EQ(output, screens::heldOff + screens::allowed + exitLines);
    EXPECT_EQ(errors, "keepawake: " + takenLine + "\n");
}

TEST_F(HotkeyRun, WithoutTheMenuOrWithACommandPressesStillToggle) {
    fake::wake = Wake::stopRequested;
    EXPECT_EQ(run({"--no-menu", "--hotkey", "super+f9"}, {pressed(1), pressed(1), pressed(1)}), 0);
    EXPECT_EQ(output, exitLines);
    EXPECT_EQ(callCount("suspendThread worker"), 2);
    EXPECT_EQ(fake::suspendCount, 0) << "released at exit";

    SetUp();
    fake::wake = Wake::commandEnded;
    fake::commandStatus = 7;
    EXPECT_EQ(run({"--hotkey", "super+f9", "--", "make"}, {pressed(1)}), 7) << "a press does not end the command's wait";
    EXPECT_EQ(callCount("suspendThread worker"), 1);
    EXPECT_EQ(fake::suspendCount, 0);
}

TEST_F(HotkeyRun, WithoutTheOptionNothingIsRegisteredOrReleased) {
    EXPECT_EQ(run({"--no-menu"}, {}), 0);
    for (const std::string& call : fake::calls) {
        EXPECT_EQ(call.find("Hotkey"), std::string::npos) << call;
    }
}

}  // namespace
