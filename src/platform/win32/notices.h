// How a worker's end reaches the GUI thread: a wait callback on a pool thread posts it to the
// main window, so the table is still only touched by the one GUI thread.
#pragma once

#include <windows.h>

inline constexpr UINT kWorkerEndedMessage = WM_APP + 1;

// Posts the end of `processId` to the main window; dropped when there is no window.
void postWorkerEnded(DWORD processId);
