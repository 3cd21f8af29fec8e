#include "core/dongle_choice.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace kestavo::core {
namespace {

// A whole number in the base, within [low, high], and nothing else.
std::optional<long> Number(const std::string& text, int base, long low, long high) {
    if (text.empty() || text.size() > 8) {
        return std::nullopt;
    }
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, base);
    if (*end != '\0' || text[0] == '-' || text[0] == '+' || text[0] == ' ' || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

} // namespace

std::string SerialOf(usb_dev_handle* handle, const struct usb_device* device) {
    if (device->descriptor.iSerialNumber == 0) {
        return {};
    }
    char text[256] = {};
    const int length = usb_get_string_simple(handle, device->descriptor.iSerialNumber, text, sizeof text);
    return length > 0 ? std::string(text, static_cast<std::size_t>(length)) : std::string();
}

std::string SerialOf(struct usb_device* device) {
    if (device->descriptor.iSerialNumber == 0) {
        return {};
    }
    usb_dev_handle* handle = usb_open(device);
    if (handle == nullptr) {
        return {};
    }
    std::string serial = SerialOf(handle, device);
    usb_close(handle);
    return serial;
}

std::optional<DongleChoice> ParseDongleChoice(const std::string& text, std::string& error) {
    DongleChoice choice;
    if (text.rfind("port:", 0) == 0) {
        const auto port = usb::ParsePortPath(text.substr(5), error);
        if (!port) {
            error = "'" + text + "' is not port:BUS-PORT[.PORT...] (decimal, as in port:1-1.4)";
            return std::nullopt;
        }
        choice.byPort = true;
        choice.port = *port;
        return choice;
    }
    if (const auto slash = text.find('/'); slash != std::string::npos) {
        const auto bus = Number(text.substr(0, slash), 10, 1, 999);
        const auto address = Number(text.substr(slash + 1), 10, 1, 999);
        if (!bus || !address) {
            error = "'" + text + "' is not BUS/ADDRESS (two decimal numbers, as in 001/002)";
            return std::nullopt;
        }
        choice.byPlace = true;
        choice.bus = static_cast<int>(*bus);
        choice.address = static_cast<int>(*address);
        return choice;
    }
    const auto first = text.find(':');
    const auto second = first == std::string::npos ? std::string::npos : text.find(':', first + 1);
    const auto vendor = Number(text.substr(0, first), 16, 0, 0xFFFF);
    const auto product = first == std::string::npos
                             ? std::nullopt
                             : Number(text.substr(first + 1, second - first - 1), 16, 0, 0xFFFF);
    if (!vendor || !product || (second != std::string::npos && second + 1 == text.size())) {
        error = "'" + text +
                "' is not VID:PID[:SERIAL] (hexadecimal ids, as in 04d2:162e), BUS/ADDRESS nor "
                "port:BUS-PORT[.PORT...]";
        return std::nullopt;
    }
    choice.vendor = static_cast<unsigned>(*vendor);
    choice.product = static_cast<unsigned>(*product);
    if (second != std::string::npos) {
        choice.serial = text.substr(second + 1);
    }
    return choice;
}

std::string Describe(const DongleChoice& choice) {
    if (choice.byPort) {
        return "port:" + usb::PortName(choice.port);
    }
    char text[32];
    if (choice.byPlace) {
        std::snprintf(text, sizeof text, "%03d/%03d", choice.bus, choice.address);
        return text;
    }
    std::snprintf(text, sizeof text, "%04x:%04x", choice.vendor, choice.product);
    return choice.serial ? text + (":" + *choice.serial) : text;
}

Found FindDevice(const DongleChoice& choice) {
    // The hubs are asked only when a port is chosen, or needed to tell several matches apart.
    usb::PortMap ports = choice.byPort ? usb::DevicePorts() : usb::PortMap{};
    std::optional<int> portAddress;
    if (choice.byPort) {
        portAddress = usb::AddressAt(choice.port, ports);
        if (!portAddress) {
            return {};
        }
    }
    std::vector<struct usb_device*> matches;
    for (struct usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next) {
        for (struct usb_device* device = bus->devices; device != nullptr; device = device->next) {
            const auto [busNumber, address] = usb::PlaceOf(device);
            if (choice.byPort) {
                if (busNumber == choice.port.bus && address == *portAddress) {
                    return {device, {}};
                }
            } else if (choice.byPlace) {
                if (busNumber == choice.bus && address == choice.address) {
                    return {device, {}};
                }
            } else if (device->descriptor.idVendor == choice.vendor &&
                       device->descriptor.idProduct == choice.product &&
                       (!choice.serial || SerialOf(device) == *choice.serial)) {
                matches.push_back(device);
            }
        }
    }
    // In the order of their places, so that the text is the same at every start.
    std::sort(matches.begin(), matches.end(),
              [](struct usb_device* a, struct usb_device* b) { return usb::PlaceOf(a) < usb::PlaceOf(b); });
    if (matches.size() <= 1) {
        return {matches.empty() ? nullptr : matches.front(), {}};
    }
    ports = usb::DevicePorts();
    // Opening either would be a guess that may differ at the next start: the operator chooses.
    std::string named;
    std::string suggested;
    for (std::size_t i = 0; i < matches.size(); ++i) {
        struct usb_device* device = matches[i];
        const auto port = ports.find(usb::PlaceOf(device));
        const std::string place = std::string(device->bus->dirname) + "/" + device->filename;
        const std::string choiceText = port != ports.end() ? "port:" + usb::PortName(port->second) : place;
        const char* separator = i == 0 ? "" : i + 1 == matches.size() ? " and " : ", ";
        named +=
            separator + place + (port != ports.end() ? " (port " + usb::PortName(port->second) + ")" : "");
        suggested += (i == 0 ? "" : i + 1 == matches.size() ? " or " : ", ") + choiceText;
    }
    return {nullptr, Describe(choice) + " matches " + std::to_string(matches.size()) + " devices: " + named +
                         "; choose one: " + suggested};
}

} // namespace kestavo::core
