#include "tests/kit/child_process.h"

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kestavo::testkit {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment) {
    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<std::string> env(environment);
    for (char** variable = environ; *variable != nullptr; ++variable) {
        env.emplace_back(*variable); // the first of a name wins
    }
    std::vector<char*> argv;
    std::vector<char*> envp;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    for (std::string& variable : env) {
        envp.push_back(variable.data());
    }
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    int pipes[2] = {-1, -1};
    if (::pipe2(pipes, O_CLOEXEC) != 0) {
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(pipes[1], STDERR_FILENO);
        ::dup2(pipes[1], STDOUT_FILENO);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(pipes[1]);
    reader_ = std::thread([this, fd = pipes[0]] {
        char chunk[4096];
        for (ssize_t got; (got = ::read(fd, chunk, sizeof chunk)) > 0;) {
            std::lock_guard lock(mutex_);
            output_.append(chunk, static_cast<std::size_t>(got));
            changed_.notify_all();
        }
        ::close(fd);
    });
}

ChildProcess::~ChildProcess() {
    if (!exited_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        WaitExit(std::chrono::seconds(10));
    }
    if (reader_.joinable()) {
        reader_.join();
    }
}

bool ChildProcess::WaitFor(const std::string& text, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return output_.find(text) != std::string::npos; });
}

std::string ChildProcess::Output() {
    std::lock_guard lock(mutex_);
    return output_;
}

void ChildProcess::Signal(int number) {
    if (pid_ > 0 && !exited_) {
        ::kill(pid_, number);
    }
}

std::optional<int> ChildProcess::WaitExit(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    exited_ = true;
    if (reader_.joinable()) {
        reader_.join(); // everything it wrote has been read
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace kestavo::testkit
