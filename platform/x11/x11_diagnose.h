// --diagnose on X11: XTEST, the screen saver's timeout and cycle, DPMS,
// MIT-SCREEN-SAVER and one nudge checked against the idle counter, from the
// server at $DISPLAY. Plain blocking XCB calls: it runs on a reader thread
// whose caller bounds it.
#pragma once

#include "platform/linux/diagnosis_line.h"

void x11Diagnose(DiagnosisSink sink, void* context);
