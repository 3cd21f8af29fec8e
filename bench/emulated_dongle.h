#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "tests/usbbench/client.h"
#include "usb/transfer.h"

namespace kestavo::bench {

// The described dongle on the USB test bench, in a tree of this process's own, opened through the real
// USB library as the window's Open does; the tree goes with it.
class EmulatedDongle {
public:
    EmulatedDongle(const std::string& name, const std::string& stream)
        : tree_(std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()))) {
        ::setenv("USB_DEVFS_PATH", tree_.c_str(), 1);
        usbbench::Load("device 1 2 1234 5678\nconfiguration 1\ninterface 0\naltsetting 0\n"
                       "endpoint 0x81 bulk 64\nendpoint 0x02 bulk 64\n" +
                       stream);
        usb::InitializeLibrary();
        params.device = usb_get_busses()->devices;
        params.deviceHandle = usb_open(params.device);
    }
    ~EmulatedDongle() { std::filesystem::remove_all(tree_); }
    EmulatedDongle(const EmulatedDongle&) = delete;
    EmulatedDongle& operator=(const EmulatedDongle&) = delete;

    usb::TestParams params;

private:
    std::filesystem::path tree_;
};

// --seconds S and --rounds N, where given.
inline void ReadSecondsAndRounds(int argc, char** argv, double& seconds, int& rounds) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--seconds") {
            seconds = std::atof(argv[i + 1]);
        } else if (arg == "--rounds") {
            rounds = std::atoi(argv[i + 1]);
        }
    }
}

} // namespace kestavo::bench
