#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <usb.h>

namespace kestavo::usb {

// Where a device is plugged in, by the kernel's name: the bus and the ports from its root hub down
// ("1-1.4": bus 1, port 1 of the root hub, port 4 of the hub there). It stays the same across
// unplugging, while the address the bus hands out does not.
struct PortPath {
    int bus = 0;
    std::vector<int> ports;
    bool operator==(const PortPath&) const = default;
};

// Reads "BUS-PORT[.PORT...]" (decimal; ports 1 to 127, at most 7 tiers). Says why in error when not.
std::optional<PortPath> ParsePortPath(const std::string& text, std::string& error);
std::string PortName(const PortPath& path);

// The folders the kernel's two trees are read from: usbfs (USB_DEVFS_PATH, as the USB library reads
// it, else /dev/bus/usb, else /proc/bus/usb) and sysfs's USB devices (USB_SYSFS_PATH, else
// /sys/bus/usb/devices).
std::string UsbfsRoot();
std::string SysfsRoot();

// (bus, address) of every device on a hub now, with its port. Asked of the hubs themselves on their
// usbfs nodes (the USB library's bus list says which devices are hubs); when usbfs refuses that (hub
// nodes are usually root's alone), read from sysfs instead. Empty when neither answers.
using PortMap = std::map<std::pair<int, int>, PortPath>;
PortMap DevicePorts();

// A device of the USB library's list as the map keys it: (bus, address).
std::pair<int, int> PlaceOf(const struct usb_device* device);

// The address of the device in the port now, from the same map; nothing when the port is empty.
std::optional<int> AddressAt(const PortPath& path, const PortMap& ports);

} // namespace kestavo::usb
