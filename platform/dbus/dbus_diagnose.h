// --diagnose inside the desktop module: what the session bus (GNOME, KDE, the
// freedesktop screen saver), the system bus (logind) and the desktops'
// settings tell. Blocking calls, each bounded; the caller's deadline bounds
// a bus that never answers.
#pragma once

#include "platform/diagnosis.h"
#include "platform/linux/desktop_module.h"

void dbusDiagnose(unsigned what, DiagnosisSink sink, void* context);

// The wlroots virtual pointer: whether the compositor offers one, and one
// zero move through it.
void waylandDiagnose(DiagnosisSink sink, void* context);

// KDE's settings files: the value of key in group ("[AC][Display]") of an
// INI-like text, the last one given; nothing when it is not there.
std::optional<std::string> kdeConfigValue(const std::string& text, const std::string& group, const std::string& key);
