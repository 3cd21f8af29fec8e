#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "options/schema.h"

namespace kestavo::test {
namespace {

using options::Program;

std::string Help(Program program) {
    std::string output;
    int exitCode = -1;
    EXPECT_FALSE(options::Parse({"program", "--help"}, program, output, exitCode));
    EXPECT_EQ(exitCode, 0);
    return output;
}

// The lines of a --help that describe the option (its own line and those that carry its text on).
std::string Described(const std::string& help, const std::string& option) {
    std::istringstream lines(help);
    std::string line;
    std::string found;
    bool in = false;
    while (std::getline(lines, line)) {
        const bool starts = line.rfind("  --", 0) == 0 || line.rfind("  -h", 0) == 0;
        if (starts) {
            in = line.rfind("  " + option + " ", 0) == 0;
        }
        if (in) {
            found += line + "\n";
        }
    }
    return found;
}

// An option both programs take reads the same in both --help texts; the service's own stay its own.
TEST(OptionSchema, BothProgramsDescribeEachSharedOptionAlike) {
    const std::string window = Help(Program::Window);
    const std::string service = Help(Program::Service);
    for (const char* option :
         {"--listen", "--allow", "--nats", "--nats-subject", "--zmq", "--max-clients", "--max-per-address"}) {
        const std::string described = Described(window, option);
        EXPECT_FALSE(described.empty()) << option;
        EXPECT_EQ(described, Described(service, option)) << option;
    }
    for (const char* option : {"--device", "--port", "--status", "--config", "--list"}) {
        EXPECT_NE(Described(service, option), "") << option;
        EXPECT_EQ(Described(window, option), "") << option;
    }
}

// The window's command line also carries Qt's own options, in each of the forms Qt takes; they are left
// for Qt, and an option of ours after them is still read.
TEST(OptionSchema, TheWindowLeavesQtsOwnOptionsForQt) {
    std::string output;
    int exitCode = -1;
    const auto values = options::Parse({"kestavo", "-platform", "offscreen", "--style=fusion", "-reverse",
                                        "--allow", "::1/128", "-geometry", "640x480"},
                                       Program::Window, output, exitCode);
    ASSERT_TRUE(values) << output;
    EXPECT_EQ(values->access.allow, (std::vector<std::string>{"::1/128"}));

    // The service has no window system to hand them to.
    EXPECT_FALSE(options::Parse({"kestavo-relayd", "--device", "04d2:162e", "-platform", "offscreen"},
                                Program::Service, output, exitCode));
    EXPECT_EQ(exitCode, 2);
    EXPECT_FALSE(options::Parse({"kestavo-relayd"}, Program::Service, output, exitCode));
    EXPECT_EQ(output, "kestavo-relayd: --device is required (or --list)\n");
}

} // namespace
} // namespace kestavo::test
