#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <QApplication>
#include <QString>
#include <QTimer>
#include <QWidget>

namespace kestavo::test {

// The first widget under root of type T whose accessible name is name, or nullptr.
template <typename T> T* FindByName(const QWidget* root, const QString& name) {
    for (T* widget : root->findChildren<T*>()) {
        if (widget->accessibleName() == name) {
            return widget;
        }
    }
    return nullptr;
}

// Watches for the next modal window of type T and hands it to action once it is shown. Each expected
// window needs its own watcher, set up before the code that opens it runs: the check runs from a fresh
// timer, so it also fires inside a modal loop nested in another. Call Seen() afterwards; a window that
// never came is reported there rather than hanging the test.
template <typename T> class ModalWatcher {
public:
    explicit ModalWatcher(std::function<void(T*)> action,
                          std::chrono::milliseconds timeout = std::chrono::milliseconds(10000))
        : action_(std::move(action)), timer_(std::make_unique<QTimer>()) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        timer_->setInterval(5);
        QObject::connect(timer_.get(), &QTimer::timeout, [this, deadline] {
            if (auto* window = dynamic_cast<T*>(QApplication::activeModalWidget());
                window != nullptr && window->isVisible()) {
                timer_->stop();
                seen_ = true;
                action_(window);
            } else if (std::chrono::steady_clock::now() > deadline) {
                timer_->stop();
                // Whatever modal window stands in the way is closed, so that the test can fail cleanly.
                if (QWidget* other = QApplication::activeModalWidget()) {
                    other->close();
                }
            }
        });
        timer_->start();
    }

    [[nodiscard]] bool Seen() const { return seen_; }

private:
    std::function<void(T*)> action_;
    std::unique_ptr<QTimer> timer_;
    bool seen_ = false;
};

} // namespace kestavo::test
