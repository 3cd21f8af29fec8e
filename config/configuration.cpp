#include "config/configuration.h"

#include "config/file_io.h"
#include "config/profile.h"

namespace kestavo::config {
namespace {

constexpr std::string_view kHeader = "***************************************************************\n"
                                     "* Kestavo- Configuration File\n"
                                     "*\n"
                                     "* Created by the Kestavo developers\n"
                                     "* Aug 5 2010\n"
                                     "***************************************************************\n"
                                     "\n"
                                     "////////////////////////////////////////////////////////////////\n"
                                     "// Velmora - Kestavo Program Configuration\n"
                                     "//\n"
                                     "//SocketNo\t  : Socket no\n"
                                     "//StoreFilename : Data store filename\n"
                                     "////////////////////////////////////////////////////////////////\n";

} // namespace

std::string MakeIniPath(std::string_view workingDirectory) {
    std::string path(workingDirectory);
    path += '/';
    path += kIniFileName;
    return path;
}

std::string MakeIniPath() {
    return MakeIniPath(CurrentDirectory());
}

std::optional<Settings> LoadConfiguration(const std::string& iniPath, const LogLineFn& log) {
    log("Load Configuration");
    const std::optional<std::string> content = ReadWholeFile(iniPath);
    if (!content) {
        log("Fail to open ini file:");
        log(iniPath);
        return std::nullopt;
    }
    const Profile profile = Profile::Parse(*content);
    Settings settings;
    settings.port = GetProfileInt(profile, kSection, kKeySocketNo, kDefaultPort);
    settings.storeFilename = GetProfileString(profile, kSection, kKeyStoreFilename, kDefaultStoreFilename,
                                              kStoreFilenameBufferSize);
    settings.storeDataToFile = GetProfileInt(profile, kSection, kKeyStoreDataToFile, kDefaultStoreDataToFile);
    return settings;
}

std::string ConfigurationText(const Settings& settings) {
    Profile profile = Profile::Parse(kHeader);
    profile.Write(kSection, kKeySocketNo, std::to_string(settings.port));
    profile.Write(kSection, kKeyStoreFilename, settings.storeFilename);
    profile.Write(kSection, kKeyStoreDataToFile, std::to_string(settings.storeDataToFile));
    return profile.Text();
}

bool StoreConfiguration(const std::string& iniPath, const Settings& settings, const LogLineFn& log) {
    log("Store Configuration");
    if (!ReplaceFile(iniPath, ConfigurationText(settings))) {
        log("Fail to open ini_file");
        log(iniPath);
        return false;
    }
    return true;
}

} // namespace kestavo::config
