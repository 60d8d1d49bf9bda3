// The session's timers on Linux, from three readers: the system's own
// screen-saver timeout, what the X server tells, and the watchers found in
// /proc with their settings files.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

// The X server's screen-saver timeout, or the Wayland desktop's idle timeout
// (linux_display.cpp).
SessionTimer systemSaverTimer();

// What the X server at $DISPLAY tells of its watchers (x11_timers.cpp,
// through keepawake-x11.so); nothing outside an X session.
void readX11Timers(std::vector<SessionTimer>* timers);
// The settings files those watchers keep (~/.xscreensaver), where they are
// read: a rewritten one is a change too. Empty outside an X session.
std::vector<std::string> x11SettingsFiles();
// Starts watching the root window for them: the connection's fd, or -1.
int watchX11Timers();
// Once that fd was readable: takes what came; true when a timer may have
// changed.
bool serveX11Timers();

// The watchers found in /proc and their settings files (watcher_timers.cpp).
void readWatcherTimers(std::vector<SessionTimer>* timers);
// Starts watching their files and processes: the inotify fd and the timer of
// the next look (either -1 where it cannot be made).
void watchWatcherTimers(int* filesFd, int* lookFd);
// Once one of those was readable: takes what came; true when a timer may
// have changed.
bool serveWatcherFiles();
bool serveWatcherLook();
// Stops the look through /proc, or starts it again.
void holdWatcherLook(bool held);
