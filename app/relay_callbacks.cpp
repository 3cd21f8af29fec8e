#include "app/relay_callbacks.h"

#include "app/resource.h"
#include "app/window_mailbox.h"
#include "core/texts.h"

namespace kestavo::app {

std::atomic<CKestavoDlg*> g_currentDialog{nullptr};

void DispatchToWindow(const core::RelayEvent& event) {
    const auto lParam = static_cast<std::intptr_t>(event.client);
    switch (event.kind) {
    case core::RelayEvent::Kind::Data:
        WindowMailbox::Instance().Send(WM_CLIENT_DATA, 0, lParam);
        break;
    case core::RelayEvent::Kind::Connected:
        WindowMailbox::Instance().Send(WM_CLIENT_CONNECTED, event.value, lParam);
        break;
    case core::RelayEvent::Kind::Gone:
        WindowMailbox::Instance().Send(WM_CLIENT_DISCONNECTED, event.value, lParam);
        break;
    }
}

void ReportRefusalToCurrentDialog(const std::string& peer, const std::string& reason) {
    WindowMailbox::Instance().PostLogLine(core::texts::ClientRefused(peer, reason));
}

} // namespace kestavo::app
