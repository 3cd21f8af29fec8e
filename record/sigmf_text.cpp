#include "record/sigmf_text.h"

#include <cctype>
#include <cstdio>
#include <ctime>

namespace kestavo::record {

std::string SigmfDatetime(std::int64_t wallNs) {
    const std::time_t seconds = static_cast<std::time_t>(wallNs / 1'000'000'000);
    const auto micros = static_cast<long>((wallNs / 1000) % 1'000'000);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    char withMicros[48];
    std::snprintf(withMicros, sizeof withMicros, "%s.%06ldZ", text, micros);
    return withMicros;
}

std::optional<std::int64_t> ParseSigmfDatetime(const std::string& text) {
    std::tm utc{};
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &utc.tm_year, &utc.tm_mon, &utc.tm_mday,
                    &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &consumed) != 6 ||
        consumed != 19) {
        return std::nullopt;
    }
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    std::int64_t fractionNs = 0;
    std::size_t at = 19;
    if (at < text.size() && text[at] == '.') {
        std::int64_t scale = 100'000'000;
        for (++at; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) != 0; ++at) {
            fractionNs += (text[at] - '0') * scale;
            scale /= 10;
        }
    }
    if (at + 1 != text.size() || text[at] != 'Z') {
        return std::nullopt;
    }
    const std::time_t seconds = ::timegm(&utc);
    return static_cast<std::int64_t>(seconds) * 1'000'000'000 + fractionNs;
}

} // namespace kestavo::record
