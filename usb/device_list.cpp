#include "usb/device_list.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "usb/ports.h"

namespace kestavo::usb {
namespace {

// One device's working area: the label under construction, then the three strings read from the
// device, each read with one byte to spare so that it always ends in a terminator.
constexpr std::size_t kLabelAreaSize = 1024;
constexpr std::size_t kStringAreaSize = 256;
constexpr std::size_t kScratchSize = kLabelAreaSize + 3 * kStringAreaSize;

// Reads string descriptor index into area and appends it to label in the given format when the read
// gives any characters. An index of 0 means the device has no such string.
void AppendString(usb_dev_handle* handle, int index, char* area, char* label, const char* format) {
    if (index == 0) {
        return;
    }
    if (usb_get_string_simple(handle, index, area, kStringAreaSize - 1) <= 0) {
        return;
    }
    char combined[kLabelAreaSize];
    std::snprintf(combined, sizeof combined, format, label, area);
    std::memcpy(label, combined, kLabelAreaSize);
}

} // namespace

void InitializeLibrary() {
    usb_init();
    usb_find_busses();
    usb_find_devices();
}

int ListDevices(DeviceSlots& slots, std::vector<std::string>& entries, const MessageFn& message) {
    const std::unique_ptr<char[]> scratch(new (std::nothrow) char[kScratchSize]);
    if (!scratch) {
        message("failed allocating memory!\n");
        return -1;
    }
    char* const label = scratch.get();
    char* const product = label + kLabelAreaSize;
    char* const manufacturer = product + kStringAreaSize;
    char* const serial = manufacturer + kStringAreaSize;

    int listed = 0;
    for (usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next) {
        for (struct usb_device* device = bus->devices; device != nullptr; device = device->next) {
            if (static_cast<std::size_t>(listed) == slots.size()) {
                return listed; // every slot is taken; a further device could not be selected
            }
            usb_dev_handle* handle = usb_open(device);
            if (handle == nullptr) {
                continue;
            }
            std::memset(scratch.get(), 0, kScratchSize);
            AppendString(handle, device->descriptor.iManufacturer, manufacturer, label, "%s (%s)");
            AppendString(handle, device->descriptor.iProduct, product, label, "%s %s ");
            AppendString(handle, device->descriptor.iSerialNumber, serial, label, "%s [%s]");
            slots[static_cast<std::size_t>(listed)] = device;
            char entry[kLabelAreaSize + 32];
            std::snprintf(entry, sizeof entry, "%s [%04Xh:%04Xh]", label, device->descriptor.idVendor,
                          device->descriptor.idProduct);
            usb_close(handle);
            entries.emplace_back(entry);
            ++listed;
        }
    }
    return listed;
}

usb_interface_descriptor* FindInterface(usb_config_descriptor* config, int number,
                                        usb_interface_descriptor** fallback) {
    if (fallback != nullptr) {
        *fallback = nullptr;
    }
    if (config == nullptr || config->interface == nullptr) {
        return nullptr;
    }
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        usb_interface& candidate = config->interface[i];
        if (candidate.num_altsetting == 0 || candidate.altsetting == nullptr) {
            continue;
        }
        usb_interface_descriptor* setting = &candidate.altsetting[0];
        if (fallback != nullptr && *fallback == nullptr) {
            *fallback = setting;
        }
        if (setting->bInterfaceNumber == number) {
            return setting;
        }
    }
    return nullptr;
}

void PrintDeviceList(const MessageFn& message) {
    InitializeLibrary();
    DeviceSlots slots{};
    std::vector<std::string> entries;
    ListDevices(slots, entries, message);
    const PortMap ports = DevicePorts();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto port = ports.find(PlaceOf(slots[i]));
        std::printf("%s/%s\t%s%s\n", slots[i]->bus->dirname, slots[i]->filename, entries[i].c_str(),
                    port == ports.end() ? "" : ("\tport:" + PortName(port->second)).c_str());
    }
    if (entries.empty()) {
        std::printf("No device were found!\n");
    }
}

} // namespace kestavo::usb
