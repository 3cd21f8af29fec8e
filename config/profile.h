#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestavo::config {

// An INI text held in memory, with the semantics the configuration file relies on: section and key names
// match regardless of case, the first matching section and key win, a key written into a missing section
// appends that section at the end, and every other line is kept as it was. Reads "\n" and "\r\n" line
// ends; writes "\n".
class Profile {
public:
    Profile() = default;
    static Profile Parse(std::string_view text);

    // The value of the key, with the blanks around it removed, or nothing when the section or the key
    // is missing.
    [[nodiscard]] std::optional<std::string> Find(std::string_view section, std::string_view key) const;

    void Write(std::string_view section, std::string_view key, std::string_view value);

    [[nodiscard]] std::string Text() const;

private:
    std::vector<std::string> lines_;
};

// The value of a whole decimal number that fits 32 bits: blanks, an optional sign, digits, blanks.
// The one rule for integers, in the file and in the window alike.
std::optional<std::int32_t> ParseInteger(std::string_view text);

// The key's value by ParseInteger, or defaultValue when the key is missing or its value is no such
// number.
std::int32_t GetProfileInt(const Profile& profile, std::string_view section, std::string_view key,
                           std::int32_t defaultValue);

// The key's text, or defaultValue when the key is missing, cut to fit bufferSize bytes with a terminator
// (at most bufferSize - 1 characters).
std::string GetProfileString(const Profile& profile, std::string_view section, std::string_view key,
                             std::string_view defaultValue, std::size_t bufferSize);

} // namespace kestavo::config
