// The control endpoint's part in the Windows wait.
#pragma once

#include <windows.h>

// The event the wait watches for the pipe; null without an endpoint.
HANDLE controlWaitHandle();

// Lowers the wait's timeout (ms, INFINITE for none) to the connection's deadline.
DWORD controlTimeout(DWORD timeout);

// After the event or a timeout: moves the pipe on. True when a complete
// request waits for takeControlRequest.
bool serveControlWait();

// True while a request waits, taken or not.
bool controlRequestWaiting();
