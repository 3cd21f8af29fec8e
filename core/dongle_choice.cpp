#include "core/dongle_choice.h"

#include <cstdio>
#include <cstdlib>

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
        error = "'" + text + "' is not VID:PID[:SERIAL] (hexadecimal ids, as in 04d2:162e) nor BUS/ADDRESS";
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
    char text[32];
    if (choice.byPlace) {
        std::snprintf(text, sizeof text, "%03d/%03d", choice.bus, choice.address);
        return text;
    }
    std::snprintf(text, sizeof text, "%04x:%04x", choice.vendor, choice.product);
    return choice.serial ? text + (":" + *choice.serial) : text;
}

struct usb_device* FindDevice(const DongleChoice& choice) {
    for (struct usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next) {
        for (struct usb_device* device = bus->devices; device != nullptr; device = device->next) {
            if (choice.byPlace) {
                if (std::atoi(bus->dirname) == choice.bus && std::atoi(device->filename) == choice.address) {
                    return device;
                }
                continue;
            }
            if (device->descriptor.idVendor == choice.vendor &&
                device->descriptor.idProduct == choice.product &&
                (!choice.serial || SerialOf(device) == *choice.serial)) {
                return device;
            }
        }
    }
    return nullptr;
}

} // namespace kestavo::core
