#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "options/schema.h"
#include "temp_dir.h"

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
        if (in && !line.empty()) {
            found += line + "\n";
        }
    }
    return found;
}

// An option both programs take reads the same in both --help texts; the service's own stay its own.
TEST(OptionSchema, BothProgramsDescribeEachSharedOptionAlike) {
    const std::string window = Help(Program::Window);
    const std::string service = Help(Program::Service);
    for (const char* option : {"--listen", "--allow", "--nats", "--nats-subject", "--zmq", "--zmq-header",
                               "--max-clients", "--max-per-address"}) {
        const std::string described = Described(window, option);
        EXPECT_FALSE(described.empty()) << option;
        EXPECT_EQ(described, Described(service, option)) << option;
    }
    for (const char* option : {"--device", "--port", "--status", "--config", "--list"}) {
        EXPECT_NE(Described(service, option), "") << option;
        EXPECT_EQ(Described(window, option), "") << option;
    }
}

// The service's file holds a section for each further dongle, read through the same options; what
// would belong to no dongle, or to two, is refused naming where it stands.
TEST(OptionSchema, TheServicesFileHoldsADongleInEachSection) {
    TempDir dir;
    const auto parse = [&](const std::string& text, std::vector<std::string> extra = {}) {
        WriteFile(dir / "relayd.conf", text);
        std::vector<std::string> arguments = {"kestavo-relayd", "--config", (dir / "relayd.conf").string()};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        std::string output;
        int exitCode = -1;
        auto values = options::Parse(arguments, Program::Service, output, exitCode);
        return std::make_pair(std::move(values), output);
    };
    const auto [values, output] =
        parse("status = \"9100\"\n[dongle.roof]\ndevice = \"port:1-1.4\"\nport = 9001\nnats = "
              "\"nats://127.0.0.1:4222\"\nallow = [\"10.0.0.0/8\", \"::1\"]\n[dongle.mast]\ndevice = "
              "\"04d2:162e:SN7\"\nport = 9002\nzmq = \"tcp://127.0.0.1:5\"\nzmq-header = true\n",
              {"--device", "1/2", "--port", "9003"});
    ASSERT_TRUE(values) << output;
    ASSERT_EQ(values->dongles.size(), 3U);
    EXPECT_EQ(values->dongles[0].name, "default") << "the command line's comes first";
    EXPECT_EQ(values->dongles[0].port, 9003);
    EXPECT_EQ(values->dongles[1].name, "roof");
    EXPECT_EQ(values->dongles[1].device, "port:1-1.4");
    EXPECT_EQ(values->dongles[1].outputs.nats, (std::vector<std::string>{"nats://127.0.0.1:4222"}));
    EXPECT_EQ(values->dongles[1].access.allow, (std::vector<std::string>{"10.0.0.0/8", "::1"}));
    EXPECT_EQ(values->dongles[2].port, 9002);
    EXPECT_TRUE(values->dongles[2].access.allow.empty()) << "a section's options are its own";
    EXPECT_TRUE(values->dongles[2].outputs.zmqHeader);
    EXPECT_FALSE(values->dongles[1].outputs.zmqHeader);
    EXPECT_EQ(values->status, "9100");

    for (const auto& [text, error] : std::vector<std::pair<std::string, std::string>>{
             {"port = 9005\n[dongle.roof]\ndevice = \"1/2\"\n", "--port belongs to a dongle"},
             {"[dongle.roof]\ndevice = \"1/2\"\n[dongle.roof]\nport = 2\n",
              "the section [dongle.roof] is there twice"},
             {"[dongle.a.b]\ndevice = \"1/2\"\n", "[dongle.a] has no section b"},
             {"[dongle.r f]\ndevice = \"1/2\"\n", "[dongle.r f]: a dongle's name is letters"},
             {"[other]\nport = 1\n", "the section [other] is unknown"},
             {"[dongle.a]\ndevice = \"1/2\"\nport = 1\n[dongle.b]\ndevice = \"1/3\"\nport = 2\nzmq = "
              "\"tcp://127.0.0.1:5\"\n[dongle.c]\ndevice = \"1/4\"\nport = 3\nzmq = \"tcp://127.0.0.1:5\"\n",
              "[dongle.c] zmq: tcp://127.0.0.1:5 is [dongle.b]'s endpoint too"},
             {"[dongle.a]\ndevice = \"1/2\"\nport = 0\n", "[dongle.a] port: Value 0 not in range"},
             {"[dongle.a]\ndevice = \"1/2\"\nport = 1\nzmq-header = true\n",
              "[dongle.a] zmq-header requires --zmq"},
             {"[dongle.a]\ndevice = \"1/2\"\nport = 1\nnats-subject = \"site.x\"\n[dongle.b]\ndevice = "
              "\"1/3\"\nport = 2\nnats-subject = \"site.x\"\n",
              "[dongle.b] nats-subject: site.x is [dongle.a]'s subject too"},
         }) {
        const auto [refused, why] = parse(text);
        EXPECT_FALSE(refused) << text;
        EXPECT_NE(why.find(error), std::string::npos) << why;
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
    EXPECT_EQ(output, "kestavo-relayd: --device is required (or --list, or --replay)\n");
}

} // namespace
} // namespace kestavo::test
