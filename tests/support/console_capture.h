// Feeds the program's standard input from a string and collects what it
// writes to standard output.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

struct ConsoleCapture {
    std::istringstream input;
    std::streambuf* savedInput = nullptr;

    void start(const std::string& typed) {
        input = std::istringstream(typed);
        savedInput = std::cin.rdbuf(input.rdbuf());
        std::cin.clear();
        testing::internal::CaptureStdout();
    }

    std::string finish() {
        std::cout.flush();
        std::fflush(stdout);
        std::string written = testing::internal::GetCapturedStdout();
        std::cin.rdbuf(savedInput);
        std::cin.clear();
        return written;
    }
};
