#include "diagnostics/failures.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace kestavo::diagnostics {
namespace {

constexpr auto kQuietPeriod = std::chrono::minutes(1);

struct Seen {
    std::chrono::steady_clock::time_point printed;
    std::uint64_t unprinted = 0;
};

std::atomic<std::uint64_t> failures{0};

// Failures are rare by nature; a plain mutex keeps the record and the line whole.
std::mutex& RecordMutex() {
    static std::mutex mutex;
    return mutex;
}

std::map<std::string, Seen>& Record() {
    static auto* record = new std::map<std::string, Seen>; // outlives threads that report late
    return *record;
}

} // namespace

void ReportFailure(const char* what, int error) {
    failures.fetch_add(1, std::memory_order_relaxed);
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(RecordMutex());
    auto [entry, first] = Record().try_emplace(what);
    Seen& seen = entry->second;
    if (!first && now - seen.printed < kQuietPeriod) {
        ++seen.unprinted;
        return;
    }
    char text[256] = "";
    const char* reason = error != 0 ? ::strerror_r(error, text, sizeof text) : "";
    std::fprintf(stderr, "kestavo: %s failed%s%s", what, error != 0 ? ": " : "", reason);
    if (seen.unprinted > 0) {
        std::fprintf(stderr, " (and %llu times more in the last minute)",
                     static_cast<unsigned long long>(seen.unprinted));
    }
    std::fputc('\n', stderr);
    seen.printed = now;
    seen.unprinted = 0;
}

std::uint64_t FailureCount() {
    return failures.load(std::memory_order_relaxed);
}

} // namespace kestavo::diagnostics
