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
template <typename Result> Result InChild(const std::function<Result()>& body) {
    auto* shared = static_cast<Result*>(
        ::mmap(nullptr, sizeof(Result), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    new (shared) Result{};
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        *shared = body();
        std::fflush(stdout);
        ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    Result result = *shared;
    ::munmap(shared, sizeof(Result));
    return result;
}

} // namespace kestavo::bench
