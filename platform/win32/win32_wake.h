// What the Windows wait and the command runner share.
#pragma once

#include <windows.h>

#include <string>

// The command being run (null when none), and its exit code once it ended.
extern HANDLE runningCommand;
extern DWORD commandExitCode;

std::string toUtf8(const wchar_t* text);
std::wstring toWide(const std::string& text);
