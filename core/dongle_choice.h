#pragma once

#include <optional>
#include <string>

#include <usb.h>

#include "usb/ports.h"

namespace kestavo::core {

// Which dongle to open: by its ids (and serial, when one is given), by its place on the buses (which
// changes at every replug), or by the hub port it is plugged into (which does not).
struct DongleChoice {
    bool byPlace = false;
    bool byPort = false;
    unsigned vendor = 0;
    unsigned product = 0;
    std::optional<std::string> serial;
    int bus = 0;
    int address = 0;
    usb::PortPath port;
};

// Reads "VID:PID" or "VID:PID:SERIAL" (the ids in hexadecimal, 1 to 4 digits; the serial is the rest),
// "BUS/ADDRESS" (decimal) or "port:BUS-PORT[.PORT...]". On a malformed text, gives nothing and says
// why in error.
std::optional<DongleChoice> ParseDongleChoice(const std::string& text, std::string& error);

// The choice as the log names it: "04d2:162e", "04d2:162e:SN1", "001/002", "port:1-1.4".
std::string Describe(const DongleChoice& choice);

// The device of the library's current list that the choice names: nullptr when none is, and when
// more than one is (two dongles with one serial, say), nullptr too and a text in ambiguity that names
// them all and how to choose one. A serial is read from each device with the ids, which takes opening
// it. The records are the library's: a later rescan frees those of devices that went away.
struct Found {
    struct usb_device* device = nullptr;
    std::string ambiguity;
};
Found FindDevice(const DongleChoice& choice);

// The device's serial number, read by opening it for a moment; empty when it has none or cannot be opened.
std::string SerialOf(struct usb_device* device);
// The same, through a handle already open on it.
std::string SerialOf(usb_dev_handle* handle, const struct usb_device* device);

} // namespace kestavo::core
