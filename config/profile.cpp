#include "config/profile.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace kestavo::config {
namespace {

std::string_view Trim(std::string_view text) {
    const auto isBlank = [](char c) {
        return c == ' ' || c == '\t';
    };
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

// The name inside "[name]", or nothing when the line is not a section line.
std::optional<std::string_view> SectionName(std::string_view line) {
    line = Trim(line);
    if (line.size() < 2 || line.front() != '[') {
        return std::nullopt;
    }
    const std::size_t close = line.find(']');
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    return Trim(line.substr(1, close - 1));
}

struct KeyLine {
    std::string_view key;
    std::string_view value;
};

std::optional<KeyLine> ParseKeyLine(std::string_view line) {
    const std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == ';') {
        return std::nullopt;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
        return std::nullopt;
    }
    return KeyLine{Trim(line.substr(0, equals)), Trim(line.substr(equals + 1))};
}

} // namespace

Profile Profile::Parse(std::string_view text) {
    Profile profile;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        profile.lines_.emplace_back(line);
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
    return profile;
}

std::optional<std::string> Profile::Find(std::string_view section, std::string_view key) const {
    bool inSection = false;
    for (const std::string& line : lines_) {
        if (const auto name = SectionName(line)) {
            if (inSection) {
                return std::nullopt; // only the first section of that name counts
            }
            inSection = EqualNoCase(*name, section);
            continue;
        }
        if (!inSection) {
            continue;
        }
        if (const auto entry = ParseKeyLine(line); entry && EqualNoCase(entry->key, key)) {
            return std::string(entry->value);
        }
    }
    return std::nullopt;
}

void Profile::Write(std::string_view section, std::string_view key, std::string_view value) {
    std::string newLine(key);
    newLine.append(1, '=').append(value);
    std::optional<std::size_t> sectionLine;
    std::size_t insertAt = lines_.size();
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (const auto name = SectionName(lines_[i])) {
            if (sectionLine) {
                break;
            }
            if (EqualNoCase(*name, section)) {
                sectionLine = i;
                insertAt = i + 1;
            }
            continue;
        }
        if (!sectionLine) {
            continue;
        }
        if (const auto entry = ParseKeyLine(lines_[i])) {
            if (EqualNoCase(entry->key, key)) {
                lines_[i] = std::move(newLine);
                return;
            }
        }
        // A new key goes after the section's last non-blank line, before any blank lines that part it
        // from the next section.
        if (!Trim(lines_[i]).empty()) {
            insertAt = i + 1;
        }
    }
    if (!sectionLine) {
        std::string header(1, '[');
        header.append(section).append(1, ']');
        lines_.push_back(std::move(header));
        lines_.push_back(std::move(newLine));
        return;
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(newLine));
}

std::string Profile::Text() const {
    std::string text;
    for (const std::string& line : lines_) {
        text += line;
        text += '\n';
    }
    return text;
}

std::optional<std::int32_t> ParseInteger(std::string_view text) {
    text = Trim(text);
    if (text.size() > 1 && text.front() == '+' && text[1] != '-') {
        text.remove_prefix(1); // from_chars takes a minus sign but not a plus sign
    }
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::int32_t GetProfileInt(const Profile& profile, std::string_view section, std::string_view key,
                           std::int32_t defaultValue) {
    const std::optional<std::string> value = profile.Find(section, key);
    return value ? ParseInteger(*value).value_or(defaultValue) : defaultValue;
}

std::string GetProfileString(const Profile& profile, std::string_view section, std::string_view key,
                             std::string_view defaultValue, std::size_t bufferSize) {
    std::string value = profile.Find(section, key).value_or(std::string(defaultValue));
    if (bufferSize == 0) {
        return {};
    }
    if (value.size() > bufferSize - 1) {
        value.resize(bufferSize - 1);
    }
    return value;
}

} // namespace kestavo::config
