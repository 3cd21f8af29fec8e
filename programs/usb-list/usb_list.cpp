// Prints the device list exactly as the window would show it, one entry a line, for checking what the
// USB library sees on this machine (or on the USB test bench, when it is preloaded).
#include <cstdio>
#include <cstring>
#include <string>

#include "kestavo_version.h"
#include "usb/device_list.h"

int main(int argc, char** argv) {
    if (argc > 1) {
        if (std::strcmp(argv[1], "--version") == 0) {
            std::printf("kestavo-usb-list %s\n", kestavo::kVersion);
            return 0;
        }
        std::fprintf(
            argc == 2 && std::strcmp(argv[1], "--help") == 0 ? stdout : stderr,
            "usage: kestavo-usb-list [--help | --version]\n"
            "Prints every USB device that can be opened, as Kestavo's window lists them, with its bus "
            "and address.\n");
        return argc == 2 && std::strcmp(argv[1], "--help") == 0 ? 0 : 1;
    }
    kestavo::usb::PrintDeviceList(
        [](const std::string& message) { std::fprintf(stderr, "%s\n", message.c_str()); });
    return 0;
}
