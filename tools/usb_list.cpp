// Prints the device list exactly as the window would show it, one entry a line, for checking what the
// USB library sees on this machine (or on the USB test bench, when it is preloaded).
#include <cstdio>
#include <string>
#include <vector>

#include "usb/device_list.h"

int main() {
    kestavo::usb::InitializeLibrary();
    kestavo::usb::DeviceSlots slots{};
    std::vector<std::string> entries;
    const int listed = kestavo::usb::ListDevices(
        slots, entries, [](const std::string& message) { std::fprintf(stderr, "%s\n", message.c_str()); });
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::printf("%s/%s\t%s\n", slots[i]->bus->dirname, slots[i]->filename, entries[i].c_str());
    }
    if (listed < 1) {
        std::printf("No device were found!\n");
    }
    return listed < 0 ? 1 : 0;
}
