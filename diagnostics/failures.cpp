#include "diagnostics/failures.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "diagnostics/rate_limit.h"

namespace kestavo::diagnostics {
namespace {

std::atomic<std::uint64_t> failures{0};

// Failures are rare by nature; a plain mutex keeps the record and the line whole.
std::mutex& RecordMutex() {
    static std::mutex mutex;
    return mutex;
}

RateLimit& Record() {
    static auto* record = new RateLimit(std::chrono::minutes(1)); // outlives threads that report late
    return *record;
}

} // namespace

void ReportFailure(const char* what, int error) {
    failures.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard lock(RecordMutex());
    const std::optional<std::uint64_t> held = Record().Pass(what, RateLimit::Clock::now());
    if (!held) {
        return;
    }
    char text[256] = "";
    const char* reason = error != 0 ? ::strerror_r(error, text, sizeof text) : "";
    std::fprintf(stderr, "kestavo: %s failed%s%s", what, error != 0 ? ": " : "", reason);
    if (*held > 0) {
        std::fprintf(stderr, " (and %llu times more in the last minute)",
                     static_cast<unsigned long long>(*held));
    }
    std::fputc('\n', stderr);
}

std::uint64_t FailureCount() {
    return failures.load(std::memory_order_relaxed);
}

} // namespace kestavo::diagnostics
