#include "app/relay_callbacks.h"

#include "app/kestavo_dlg.h"
#include "app/resource.h"
#include "app/window_mailbox.h"

namespace kestavo::app {

std::atomic<CKestavoDlg*> g_currentDialog{nullptr};

bool ClientDataCallback(NetHandle client) {
    WindowMailbox::Instance().Send(WM_CLIENT_DATA, 0, static_cast<std::intptr_t>(client));
    return true;
}

bool ClientGoneCallback(NetHandle client, std::uint32_t reason) {
    WindowMailbox::Instance().Send(WM_CLIENT_DISCONNECTED, reason, static_cast<std::intptr_t>(client));
    return true;
}

bool ClientConnectedCallback(std::int32_t port, NetHandle client) {
    WindowMailbox::Instance().Send(WM_CLIENT_CONNECTED, static_cast<std::uint32_t>(port),
                                   static_cast<std::intptr_t>(client));
    return true;
}

void RelayToCurrentDialog(const frames::SamplePacket& packet) {
    // The window waits for the reader to end before it lets go of itself, so the window found here
    // stays for as long as this call uses it.
    if (CKestavoDlg* dialog = g_currentDialog.load(std::memory_order_acquire)) {
        dialog->RelaySamplePacket(packet);
    }
}

void ReportRefusalToCurrentDialog(const std::string& peer, const std::string& reason) {
    WindowMailbox::Instance().PostLogLine("Client refused: " + peer + " (" + reason + ")");
}

} // namespace kestavo::app
