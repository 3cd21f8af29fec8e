#pragma once

#include <atomic>
#include <string>

#include "core/relay_server.h"

namespace kestavo::app {

class CKestavoDlg;

// The window that is open, or nullptr: threads other than the window's test it before touching it.
extern std::atomic<CKestavoDlg*> g_currentDialog;

// The window's adapter over the relay's events: each becomes its window message (WM_USER+400 client
// data, 402 client connected, 403 client gone), handed to the window thread, and the caller waits until
// the window has handled it.
void DispatchToWindow(const core::RelayEvent& event);

// Where the relay-socket library reports a refused peer, on its own thread: a line in the log of the
// window that is open, added on the window's thread.
void ReportRefusalToCurrentDialog(const std::string& peer, const std::string& reason);

} // namespace kestavo::app
