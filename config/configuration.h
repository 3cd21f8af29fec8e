#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kestavo::config {

inline constexpr char kIniFileName[] = "Kestavo_Config.ini";
inline constexpr char kSection[] = "Velmora";
inline constexpr char kKeySocketNo[] = "SocketNo";
inline constexpr char kKeyStoreFilename[] = "StoreFilename";
inline constexpr char kKeyStoreDataToFile[] = "StoreDataToFile";

inline constexpr std::int32_t kDefaultPort = 9001;
inline constexpr char kDefaultStoreFilename[] = "c:\\data\\data.csv";
inline constexpr std::int32_t kDefaultStoreDataToFile = 1;
// The store file name is read as if into a buffer of this many bytes: at most 2999 characters survive.
inline constexpr std::size_t kStoreFilenameBufferSize = 3000;

struct Settings {
    std::int32_t port = kDefaultPort;
    std::string storeFilename = kDefaultStoreFilename;
    std::int32_t storeDataToFile = kDefaultStoreDataToFile;
};

// Receives each status line for the log pane.
using LogLineFn = std::function<void(const std::string&)>;

// The configuration file's path in the given directory: the directory, "/" and the file name, joined
// without looking at whether the directory already ends in a separator.
std::string MakeIniPath(std::string_view workingDirectory);
// The same in the current working directory.
std::string MakeIniPath();

// Reads the file, logging "Load Configuration" first. Nothing when the file cannot be opened for
// reading (after logging that and the path); otherwise the three settings, each key that is missing or
// not usable taking its default.
std::optional<Settings> LoadConfiguration(const std::string& iniPath, const LogLineFn& log);

// Rewrites the file whole with the header and the one section, logging "Store Configuration" first.
// False, after logging the failure and the path, when the file cannot be written; whatever stood at the
// path is then left exactly as it was.
bool StoreConfiguration(const std::string& iniPath, const Settings& settings, const LogLineFn& log);

// The complete text StoreConfiguration writes.
std::string ConfigurationText(const Settings& settings);

} // namespace kestavo::config
