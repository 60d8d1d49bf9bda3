// The whole program against the recording fake, as one test runs it: a fresh
// fake and state before, the limits cleared after, standard output and
// standard error collected, and the exit processing run as the process's
// exit would run it.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/keep_awake.h"
#include "tests/support/console_capture.h"
#include "tests/support/fake_platform.h"

class ProgramRun : public testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        keepAwakeState = KeepAwakeState{0, nullptr, 0, 0};
    }
    void TearDown() override { runLimits = RunLimits{}; }

    // Runs on what is typed; at its end, the program quits as on "q".
    int run(const std::vector<std::string>& words, const std::string& typed = "") {
        console.start(typed);
        testing::internal::CaptureStderr();
        const int status = runKeepAwake(words);
        if (fake::exitHook != nullptr) {
            fake::exitHook();
        }
        errors = testing::internal::GetCapturedStderr();
        output = console.finish();
        return status;
    }

    // Runs with one wake a step, taken in order before any key.
    template <typename Step>
    int runSteps(const std::vector<std::string>& words, const std::vector<Step>& steps,
                 const std::function<std::function<Wake(char*)>(const Step&)>& wakeFor) {
        for (const Step& step : steps) {
            fake::wakesFirst.push_back(wakeFor(step));
        }
        return run(words);
    }

    ConsoleCapture console;
    std::string output;
    std::string errors;
};
