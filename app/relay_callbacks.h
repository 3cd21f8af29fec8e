#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "frames/frames.h"
#include "networkdriver/network_driver.h"

namespace kestavo::app {

class CKestavoDlg;

// The window that is open, or nullptr: threads other than the window's test it before touching it.
extern std::atomic<CKestavoDlg*> g_currentDialog;

// The relay-socket library's callbacks: each hands its event to the window as a window message and
// waits until the window has handled it. They return true.
bool ClientDataCallback(NetHandle client);
bool ClientGoneCallback(NetHandle client, std::uint32_t reason);
bool ClientConnectedCallback(std::int32_t port, NetHandle client);

// Where the reader thread hands each transfer's samples: to the relay of the window that is open.
void RelayToCurrentDialog(const frames::SamplePacket& packet);

// Where the relay-socket library reports a refused peer, on its own thread: a line in the log of the
// window that is open, added on the window's thread.
void ReportRefusalToCurrentDialog(const std::string& peer, const std::string& reason);

} // namespace kestavo::app
