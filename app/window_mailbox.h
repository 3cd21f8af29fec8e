#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

class QSocketNotifier;

namespace kestavo::app {

class CKestavoDlg;

// Hands window messages from any thread to the window thread and waits until the window has handled
// them, as a synchronous send does. On the window thread itself a message is handled at once. While no
// window is attached, or once it detaches, a send returns at once: a thread waiting for a window that
// is going away is released, never left hanging.
//
// The hand-over is a queue under a standard mutex, with an eventfd to wake the window's event loop, so
// that every thread's view of the message is ordered in a way the thread sanitizer can see.
class WindowMailbox {
public:
    static WindowMailbox& Instance();

    // Called on the window thread.
    void Attach(CKestavoDlg* dialog);
    void Detach();

    // True when the window handled the message.
    bool Send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
    // Hands a line for the window's log over without waiting for it; dropped while no window is attached.
    void PostLogLine(std::string line);

private:
    struct Letter {
        unsigned message;
        std::uintptr_t wParam;
        std::intptr_t lParam;
        bool done = false;
    };

    WindowMailbox();
    void Deliver();

    std::mutex mutex_;
    std::condition_variable handled_;
    std::deque<Letter*> queue_;
    std::deque<std::string> logLines_;
    CKestavoDlg* dialog_ = nullptr;
    std::thread::id windowThread_;
    int wakeFd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace kestavo::app
