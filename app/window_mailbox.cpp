#include "app/window_mailbox.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QSocketNotifier>

#include "app/kestavo_dlg.h"
#include "app/relay_callbacks.h"

namespace kestavo::app {

WindowMailbox& WindowMailbox::Instance() {
    static WindowMailbox* mailbox = new WindowMailbox; // outlives every window and every thread that sends
    return *mailbox;
}

WindowMailbox::WindowMailbox() : wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void WindowMailbox::Attach(CKestavoDlg* dialog) {
    std::lock_guard lock(mutex_);
    dialog_ = dialog;
    windowThread_ = std::this_thread::get_id();
    g_currentDialog.store(dialog);
    notifier_ = new QSocketNotifier(wakeFd_, QSocketNotifier::Read, dialog);
    QObject::connect(notifier_, &QSocketNotifier::activated, dialog, [this] { Deliver(); });
}

void WindowMailbox::Detach() {
    QSocketNotifier* notifier = nullptr;
    {
        std::lock_guard lock(mutex_);
        dialog_ = nullptr;
        g_currentDialog.store(nullptr);
        logLines_.clear();
        for (Letter* letter : queue_) {
            letter->done = true;
        }
        queue_.clear();
        notifier = notifier_;
        notifier_ = nullptr;
    }
    handled_.notify_all();
    delete notifier;
}

bool WindowMailbox::Send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    std::unique_lock lock(mutex_);
    if (dialog_ == nullptr) {
        return false;
    }
    if (std::this_thread::get_id() == windowThread_) {
        CKestavoDlg* dialog = dialog_;
        lock.unlock();
        dialog->WindowProc(message, wParam, lParam);
        return true;
    }
    Letter letter{message, wParam, lParam};
    queue_.push_back(&letter);
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
    handled_.wait(lock, [&] { return letter.done; });
    return dialog_ != nullptr;
}

void WindowMailbox::PostLogLine(std::string line) {
    std::lock_guard lock(mutex_);
    if (dialog_ == nullptr) {
        return;
    }
    logLines_.push_back(std::move(line));
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

void WindowMailbox::Deliver() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(wakeFd_, &count, sizeof count);
    std::deque<std::string> lines;
    CKestavoDlg* logTo = nullptr;
    {
        std::lock_guard lock(mutex_);
        lines.swap(logLines_);
        logTo = dialog_;
    }
    for (const std::string& line : lines) {
        if (logTo != nullptr) {
            logTo->AddLogLine(line);
        }
    }
    for (;;) {
        Letter* letter = nullptr;
        CKestavoDlg* dialog = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty() || dialog_ == nullptr) {
                return;
            }
            letter = queue_.front();
            queue_.pop_front();
            dialog = dialog_;
        }
        dialog->WindowProc(letter->message, letter->wParam, letter->lParam);
        {
            std::lock_guard lock(mutex_);
            letter->done = true;
        }
        handled_.notify_all();
    }
}

} // namespace kestavo::app
