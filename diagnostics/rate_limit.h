#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

namespace kestavo::diagnostics {

// Lets the first event of each key through, then at most one a period, counting those held back, so
// that a fault or a flood repeated without end makes a line a period, not a line an event. Keeps at most
// about `keys` keys: past that, those quiet for a whole period are forgotten. Its owner guards it.
class RateLimit {
public:
    using Clock = std::chrono::steady_clock;

    explicit RateLimit(Clock::duration period, std::size_t keys = 4096) : period_(period), keys_(keys) {}

    // When this event may go: how many of the key's were held back since the last one that went.
    // Nothing when it is held back.
    std::optional<std::uint64_t> Pass(const std::string& key, Clock::time_point now) {
        if (seen_.size() > keys_) {
            std::erase_if(seen_, [&](const auto& entry) { return now - entry.second.passed >= period_; });
        }
        auto [entry, first] = seen_.try_emplace(key, Seen{now, 0});
        Seen& seen = entry->second;
        if (!first && now - seen.passed < period_) {
            ++seen.held;
            return std::nullopt;
        }
        const std::uint64_t held = seen.held;
        seen = {now, 0};
        return held;
    }

private:
    struct Seen {
        Clock::time_point passed;
        std::uint64_t held = 0;
    };

    Clock::duration period_;
    std::size_t keys_;
    std::unordered_map<std::string, Seen> seen_;
};

} // namespace kestavo::diagnostics
