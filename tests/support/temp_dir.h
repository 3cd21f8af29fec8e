#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace kestavo::test {

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    [[nodiscard]] const std::filesystem::path& Path() const { return path_; }
    [[nodiscard]] std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Makes a directory the working directory for the scope.
class ScopedWorkingDirectory {
public:
    explicit ScopedWorkingDirectory(const std::filesystem::path& directory);
    ~ScopedWorkingDirectory();
    ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
    ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

private:
    std::filesystem::path previous_;
};

// Sets an environment variable for the scope, restoring what was there before.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    bool hadValue_ = false;
    std::string previous_;
};

std::string ReadFile(const std::filesystem::path& path);
// How many entries a folder holds: in /proc/self/fd or /proc/self/task, the descriptors or threads.
std::size_t CountEntries(const std::filesystem::path& folder);
// How many of this process's threads carry the name (the program names its own; Qt and the sanitizers
// start and end helper threads of theirs whenever they like).
std::size_t CountThreadsNamed(const std::string& name);
void WriteFile(const std::filesystem::path& path, const std::string& content);

} // namespace kestavo::test
