#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace kestavo::testkit {

// A program run as a process of its own (the service, a message server), with arguments and extra
// environment, what it writes on stderr and stdout collected. Killed when the object goes, if still
// running.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // True once the output holds text, within the limit.
    bool WaitFor(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(10));
    std::string Output();
    void Signal(int number);
    [[nodiscard]] pid_t Pid() const { return pid_; }
    // The exit status (128 + the signal for one that ended it), or nothing when it has not ended within
    // the limit.
    std::optional<int> WaitExit(std::chrono::milliseconds limit);

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
};

} // namespace kestavo::testkit
