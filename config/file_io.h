#pragma once

#include <optional>
#include <string>

namespace kestavo::config {

// The whole content of a regular file that can be opened for reading, or nothing.
std::optional<std::string> ReadWholeFile(const std::string& path);

// Replaces the file at path with content, or leaves whatever stands there untouched: the content goes to
// a new file beside it, is flushed to disk, and is then renamed over the old one, so that neither a
// failure nor a crash halfway can leave a truncated file behind.
bool ReplaceFile(const std::string& path, const std::string& content);

// The current working directory, however long it is; empty when it cannot be read (it was removed).
std::string CurrentDirectory();

} // namespace kestavo::config
