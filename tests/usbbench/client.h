#pragma once

#include <stdexcept>
#include <string>

#include "tests/usbbench/usbbench.h"

// C++ conveniences over the bench's interface, for tests and benchmarks.
namespace usbbench {

// Loads a description; throws with the bench's message when it is malformed.
inline void Load(const std::string& description) {
    char error[512] = {};
    if (usbbench_load(description.c_str(), error, sizeof error) != 0) {
        throw std::invalid_argument(error);
    }
}

inline std::string Journal() {
    std::string text(usbbench_journal(nullptr, 0) + 1, '\0');
    text.resize(usbbench_journal(text.data(), text.size()));
    return text;
}

inline usbbench_counters Counters(int bus, int address) {
    usbbench_counters counters{};
    usbbench_read_counters(bus, address, &counters);
    return counters;
}

} // namespace usbbench
