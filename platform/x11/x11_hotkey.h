// The hotkey on X11: a passive grab of the key on the root window, on a
// connection of its own that the main thread's one wait watches. Plain C
// types, so the calls can sit in a module's table.
#pragma once

#include <cstddef>
#include <cstdint>

// Connects (waiting at most a second, as start-up does for the display) and
// asks for the keyboard's layout; the grab follows once it has come. The
// descriptor to watch, or -1 with one line in problem saying why not.
// key and modifiers as Hotkey of platform.h has them; name as the user reads it.
int x11HotkeyStart(std::uint32_t key, unsigned modifiers, const char* name, char* problem, std::size_t size);

// The descriptor is readable: takes what the display sent, never waiting.
// The presses since the last call, holding the key down counting once. When
// the hotkey stopped working (the key is taken, the display went away),
// problem gets one line and the descriptor is closed: it is not watched again.
int x11HotkeyReadable(char* problem, std::size_t size);

// Lets go of the key and the connection without waiting on the display.
void x11HotkeyStop();
