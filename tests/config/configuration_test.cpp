#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/configuration.h"
#include "config/file_io.h"
#include "temp_dir.h"

namespace kestavo::config {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

constexpr char kDefaultFile[] = "***************************************************************\n"
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
                                "////////////////////////////////////////////////////////////////\n"
                                "[Velmora]\n"
                                "SocketNo=9001\n"
                                "StoreFilename=c:\\data\\data.csv\n"
                                "StoreDataToFile=1\n";

class Configuration : public ::testing::Test {
protected:
    LogLineFn Log() {
        return [this](const std::string& line) {
            lines.push_back(line);
        };
    }
    [[nodiscard]] std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir.Path())) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    TempDir dir;
    std::string iniPath = MakeIniPath(dir.Path().string());
    std::vector<std::string> lines;
};

TEST_F(Configuration, PathJoinsTheDirectoryAndFileNameWithASlash) {
    EXPECT_EQ(MakeIniPath("/home/op"), "/home/op/Kestavo_Config.ini");
    EXPECT_EQ(MakeIniPath("/"), "//Kestavo_Config.ini");
}

TEST_F(Configuration, PathInAWorkingDirectoryLongerThan300CharactersIsWhole) {
    fs::path deep = dir.Path();
    while (deep.string().size() < 700) {
        deep /= std::string(60, 'd');
    }
    fs::create_directories(deep);
    const test::ScopedWorkingDirectory cwd(deep);
    const std::string path = MakeIniPath();
    EXPECT_EQ(path, deep.string() + "/Kestavo_Config.ini");
    ASSERT_TRUE(StoreConfiguration(path, Settings{}, Log()));
    EXPECT_EQ(ReadFile(deep / "Kestavo_Config.ini"), kDefaultFile);
}

TEST_F(Configuration, StoreWritesTheHeaderAndOneSectionExactly) {
    ASSERT_TRUE(StoreConfiguration(iniPath, Settings{}, Log()));
    EXPECT_EQ(ReadFile(iniPath), kDefaultFile);
    EXPECT_EQ(lines, std::vector<std::string>{"Store Configuration"});
    EXPECT_EQ(Files(), std::vector<std::string>{"Kestavo_Config.ini"}) << "no temporary file is left";
}

TEST_F(Configuration, StoredSettingsReadBackUnchanged) {
    for (const Settings& settings :
         {Settings{5000, "/home/op/logs/run 1.csv", 0}, Settings{-1, std::string(2999, 'n'), -2147483647 - 1},
          Settings{70000, "c:\\data\\ä.csv", 1}}) {
        ASSERT_TRUE(StoreConfiguration(iniPath, settings, Log()));
        const std::optional<Settings> loaded = LoadConfiguration(iniPath, Log());
        ASSERT_TRUE(loaded);
        EXPECT_EQ(loaded->port, settings.port);
        EXPECT_EQ(loaded->storeFilename, settings.storeFilename);
        EXPECT_EQ(loaded->storeDataToFile, settings.storeDataToFile);
    }
}

TEST_F(Configuration, StoreRewritesTheWholeFileDroppingHandAddedContent) {
    WriteFile(iniPath, "[Mine]\nkeep=no\n[Velmora]\nSocketNo=1\nExtra=yes\n");
    ASSERT_TRUE(StoreConfiguration(iniPath, Settings{}, Log()));
    ASSERT_TRUE(StoreConfiguration(iniPath, Settings{}, Log()));
    EXPECT_EQ(ReadFile(iniPath), kDefaultFile);
}

TEST_F(Configuration, MissingFileLogsThePathAndGivesNothing) {
    EXPECT_FALSE(LoadConfiguration(iniPath, Log()));
    EXPECT_EQ(lines, (std::vector<std::string>{"Load Configuration", "Fail to open ini file:", iniPath}));
}

TEST_F(Configuration, MissingKeysTakeTheirDefaults) {
    WriteFile(iniPath, "[Velmora]\r\nSocketNo=5000\r\n");
    const std::optional<Settings> loaded = LoadConfiguration(iniPath, Log());
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->port, 5000);
    EXPECT_EQ(loaded->storeFilename, "c:\\data\\data.csv");
    EXPECT_EQ(loaded->storeDataToFile, 1);
    EXPECT_EQ(lines, std::vector<std::string>{"Load Configuration"});
}

TEST_F(Configuration, AnEmptyStoreFilenameStaysEmptyAndALongOneIsCut) {
    WriteFile(iniPath, "[Velmora]\nStoreFilename=\n");
    EXPECT_EQ(LoadConfiguration(iniPath, Log())->storeFilename, "");

    const std::string name(3000, 'x');
    WriteFile(iniPath, "[Velmora]\nStoreFilename=" + name + "\n");
    EXPECT_EQ(LoadConfiguration(iniPath, Log())->storeFilename, name.substr(0, 2999));
}

TEST_F(Configuration, UnwritableLocationLogsThePathAndLeavesWhatStoodThere) {
    const std::string throughMissingFolder = (dir / "missing" / "Kestavo_Config.ini").string();
    EXPECT_FALSE(StoreConfiguration(throughMissingFolder, Settings{}, Log()));
    EXPECT_EQ(lines, (std::vector<std::string>{"Store Configuration", "Fail to open ini_file",
                                               throughMissingFolder}));

    // A directory where the file should be: it can be neither read as the file nor replaced.
    fs::create_directory(iniPath);
    WriteFile(fs::path(iniPath) / "inside.txt", "mine");
    lines.clear();
    EXPECT_FALSE(StoreConfiguration(iniPath, Settings{}, Log()));
    EXPECT_EQ(lines, (std::vector<std::string>{"Store Configuration", "Fail to open ini_file", iniPath}));
    EXPECT_EQ(ReadFile(fs::path(iniPath) / "inside.txt"), "mine");
    EXPECT_EQ(Files(), std::vector<std::string>{"Kestavo_Config.ini"}) << "no temporary file is left";
    EXPECT_FALSE(LoadConfiguration(iniPath, Log()));
}

TEST_F(Configuration, ReplacingKeepsTheModeOfTheFileItReplaces) {
    WriteFile(iniPath, "old");
    fs::permissions(iniPath, fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(ReplaceFile(iniPath, "new"));
    EXPECT_EQ(ReadFile(iniPath), "new");
    EXPECT_EQ(fs::status(iniPath).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

} // namespace
} // namespace kestavo::config
