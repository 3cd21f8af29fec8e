#include "usb/ports.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <memory>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <usb.h>

namespace kestavo::usb {
namespace {

constexpr int kHubClass = 9;
constexpr std::size_t kMostTiers = 7; // the root hub, five hubs between, the device

std::optional<int> Decimal(const std::string& text, int low, int high) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const int value = std::atoi(text.c_str());
    if (value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

bool IsDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string ReadSmallFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    char text[32] = {};
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    std::string value = got > 0 ? std::string(text, static_cast<std::size_t>(got)) : std::string();
    while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) {
        value.pop_back();
    }
    return value;
}

// What one hub says is on each of its ports: the address there, 0 for none. Nothing when the hub
// cannot be asked (refused says whether usbfs refused this user, which sysfs can stand in for).
std::optional<std::vector<int>> AskHub(const std::string& node, bool& refused) {
    // usbfs answers a request only on a node opened for writing.
    const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        refused = refused || errno == EACCES || errno == EPERM;
        return std::nullopt;
    }
    usbdevfs_hub_portinfo info{};
    usbdevfs_ioctl command{};
    command.ifno = 0;
    command.ioctl_code = static_cast<int>(USBDEVFS_HUB_PORTINFO);
    command.data = &info;
    const int result = ::ioctl(fd, USBDEVFS_IOCTL, &command);
    const int error = errno;
    ::close(fd);
    if (result < 0) {
        refused = refused || error == EACCES || error == EPERM;
        return std::nullopt;
    }
    std::vector<int> addresses;
    const int count = static_cast<unsigned char>(info.nports);
    for (int i = 0; i < count && i < static_cast<int>(sizeof info.port); ++i) {
        addresses.push_back(static_cast<unsigned char>(info.port[i]));
    }
    return addresses;
}

// The map as the hubs tell it, walked down from each bus's root hub (address 1, as the kernel gives
// it). The USB library's own child lists leave out empty ports, so they cannot say a port's number.
std::optional<PortMap> AskHubs() {
    const std::string root = UsbfsRoot();
    PortMap ports;
    bool refused = false;
    for (struct usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next) {
        const int busNumber = std::atoi(bus->dirname);
        std::map<int, bool> isHub;
        for (struct usb_device* device = bus->devices; device != nullptr; device = device->next) {
            isHub[std::atoi(device->filename)] = device->descriptor.bDeviceClass == kHubClass;
        }
        if (!isHub[1]) {
            continue;
        }
        // Hubs still to ask, each with its own path.
        std::vector<std::pair<int, std::vector<int>>> toAsk = {{1, {}}};
        while (!toAsk.empty()) {
            const auto [address, path] = toAsk.back();
            toAsk.pop_back();
            char node[16];
            std::snprintf(node, sizeof node, "/%03d", address);
            const auto children = AskHub(root + "/" + bus->dirname + node, refused);
            if (!children) {
                if (refused) {
                    return std::nullopt;
                }
                continue; // a hub gone meanwhile
            }
            for (std::size_t port = 0; port < children->size(); ++port) {
                const int child = (*children)[port];
                if (child == 0) {
                    continue;
                }
                PortPath childPath{busNumber, path};
                childPath.ports.push_back(static_cast<int>(port) + 1);
                if (isHub[child] && childPath.ports.size() < kMostTiers) {
                    toAsk.emplace_back(child, childPath.ports);
                }
                ports[{busNumber, child}] = std::move(childPath);
            }
        }
    }
    return ports;
}

// The same from sysfs, which anyone may read: a folder per device on a hub, named for its port.
PortMap ReadSysfs() {
    PortMap ports;
    const std::string root = SysfsRoot();
    const std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(root.c_str()), ::closedir);
    if (!folder) {
        return ports;
    }
    while (const dirent* entry = ::readdir(folder.get())) {
        const std::string name = entry->d_name;
        std::string ignored;
        const auto path = ParsePortPath(name, ignored); // an interface's "1-1.4:1.0" is none
        if (!path) {
            continue;
        }
        const auto bus = Decimal(ReadSmallFile(root + "/" + name + "/busnum"), 1, 999);
        const auto address = Decimal(ReadSmallFile(root + "/" + name + "/devnum"), 1, 255);
        if (bus && address && *bus == path->bus) {
            ports[{*bus, *address}] = *path;
        }
    }
    return ports;
}

} // namespace

std::optional<PortPath> ParsePortPath(const std::string& text, std::string& error) {
    const auto bad = [&] {
        error = "'" + text + "' is not BUS-PORT[.PORT...] (decimal, as in 1-1.4)";
        return std::nullopt;
    };
    const std::size_t dash = text.find('-');
    if (dash == std::string::npos) {
        return bad();
    }
    PortPath path;
    const auto bus = Decimal(text.substr(0, dash), 1, 999);
    if (!bus) {
        return bad();
    }
    path.bus = *bus;
    std::size_t start = dash + 1;
    for (;;) {
        const std::size_t dot = text.find('.', start);
        const auto port = Decimal(text.substr(start, dot == std::string::npos ? dot : dot - start), 1, 127);
        if (!port || path.ports.size() + 1 >= kMostTiers) {
            return bad();
        }
        path.ports.push_back(*port);
        if (dot == std::string::npos) {
            return path;
        }
        start = dot + 1;
    }
}

std::string PortName(const PortPath& path) {
    std::string name = std::to_string(path.bus) + "-";
    for (std::size_t i = 0; i < path.ports.size(); ++i) {
        name += (i == 0 ? "" : ".") + std::to_string(path.ports[i]);
    }
    return name;
}

std::string UsbfsRoot() {
    if (const char* path = std::getenv("USB_DEVFS_PATH"); path != nullptr && *path != '\0') {
        return path;
    }
    return IsDirectory("/dev/bus/usb") ? "/dev/bus/usb" : "/proc/bus/usb";
}

std::string SysfsRoot() {
    if (const char* path = std::getenv("USB_SYSFS_PATH"); path != nullptr && *path != '\0') {
        return path;
    }
    return "/sys/bus/usb/devices";
}

PortMap DevicePorts() {
    if (auto asked = AskHubs()) {
        return std::move(*asked);
    }
    return ReadSysfs();
}

std::pair<int, int> PlaceOf(const struct usb_device* device) {
    return {std::atoi(device->bus->dirname), std::atoi(device->filename)};
}

std::optional<int> AddressAt(const PortPath& path, const PortMap& ports) {
    for (const auto& [place, port] : ports) {
        if (port == path) {
            return place.second;
        }
    }
    return std::nullopt;
}

} // namespace kestavo::usb
