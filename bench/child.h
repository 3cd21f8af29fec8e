#pragma once

#include <cstdio>
#include <functional>
#include <new>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestavo::bench {

// Runs one case in a child process of its own (so that its peak memory, descriptors and any library
// state are its own) and hands back what it wrote into shared memory. Result must be trivially copyable.
// When the body calls the `ready` it is given, the parent runs onReady (to start what the case waits
// for) while the child goes on.
template <typename Result>
Result InChild(const std::function<Result(const std::function<void()>& ready)>& body,
               const std::function<void()>& onReady) {
    int pipes[2];
    if (::pipe(pipes) != 0) {
        return Result{};
    }
    auto* shared = static_cast<Result*>(
        ::mmap(nullptr, sizeof(Result), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    new (shared) Result{};
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipes[0]);
        *shared = body([&] {
            const char go = 1;
            if (::write(pipes[1], &go, 1) != 1) {
                std::fprintf(stderr, "the child could not tell its parent it was ready\n");
            }
        });
        std::fflush(stdout);
        ::_exit(0);
    }
    ::close(pipes[1]);
    char go = 0;
    if (::read(pipes[0], &go, 1) == 1) {
        onReady();
    }
    ::close(pipes[0]);
    ::waitpid(child, nullptr, 0);
    Result result = *shared;
    ::munmap(shared, sizeof(Result));
    return result;
}

template <typename Result> Result InChild(const std::function<Result()>& body) {
    return InChild<Result>([&](const std::function<void()>&) { return body(); }, [] {});
}

} // namespace kestavo::bench
