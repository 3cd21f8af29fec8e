// Prints the device list exactly as the window would show it, one entry a line, for checking what the
// USB library sees on this machine (or on the USB test bench, when it is preloaded).
#include <cstdio>
#include <string>

#include "usb/device_list.h"

int main() {
    kestavo::usb::PrintDeviceList(
        [](const std::string& message) { std::fprintf(stderr, "%s\n", message.c_str()); });
    return 0;
}
