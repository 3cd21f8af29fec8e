#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestavo::record {

// A time as SigMF's core:datetime writes it, UTC to the microsecond: "2026-12-08T15:30:00.123456Z".
std::string SigmfDatetime(std::int64_t wallNs);
// Reads one (with or without the fraction, of any number of digits); nothing when it is not one.
std::optional<std::int64_t> ParseSigmfDatetime(const std::string& text);

} // namespace kestavo::record
