#pragma once

#include <cstdlib>

namespace kestavo::fuzz {

// A property every input must keep; breaking it is a finding, so the fuzzer stops there.
inline void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace kestavo::fuzz
