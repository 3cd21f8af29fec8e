#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include <usb.h>

namespace kestavo::usb {

inline constexpr std::size_t kDeviceSlotCount = 256;

// Entry i of the device list shows the device in slot i. The records belong to the USB library and
// stay valid for the program's life: its bus and device lists are built once and never rebuilt.
using DeviceSlots = std::array<struct usb_device*, kDeviceSlotCount>;

// Shows an error to the operator.
using MessageFn = std::function<void(const std::string&)>;

// Initialises the USB library and builds its bus and device lists, once for the program's life.
void InitializeLibrary();

// Walks the library's devices, bus by bus, and for each one that can be opened stores it in the next
// slot and appends its label to entries. Stops when the slots are full. Gives the number of devices
// listed, or -1 (after a message) when its working memory cannot be had.
int ListDevices(DeviceSlots& slots, std::vector<std::string>& entries, const MessageFn& message);

// Prints on stdout the device list as the window shows it, a line an entry led by its device's place and
// a tab ("001/002\t (Maker) Dongle  [SN1] [04D2h:162Eh]"), and for one on a hub a tab and its port as
// a choice names it ("\tport:1-1.4"); or "No device were found!". Initialises
// the library first. For the programs that list the devices.
void PrintDeviceList(const MessageFn& message);

// The first alternate setting of the interface numbered number in config, or nullptr. When fallback is
// given it receives the first usable interface met (one that has an alternate setting), or nullptr.
usb_interface_descriptor* FindInterface(usb_config_descriptor* config, int number,
                                        usb_interface_descriptor** fallback = nullptr);

} // namespace kestavo::usb
