#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The devices of the USB test bench, as a test describes them. See README.md for the text format.
namespace usbbench {

enum class TransferType : std::uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

struct EndpointModel {
    std::uint8_t address = 0;
    TransferType type = TransferType::Bulk;
    std::uint16_t maxPacketSize = 0;
    std::uint8_t interval = 0;
};

struct AltSettingModel {
    std::uint8_t number = 0;
    std::uint8_t interfaceClass = 0xFF;
    std::vector<EndpointModel> endpoints;
};

// An interface without alternate settings is counted in its configuration but sends no descriptor.
struct InterfaceModel {
    std::uint8_t number = 0;
    std::vector<AltSettingModel> altSettings;
};

struct ConfigurationModel {
    std::uint8_t value = 1;
    std::vector<InterfaceModel> interfaces;
};

enum StringIndex : std::size_t { kManufacturer = 0, kProduct = 1, kSerial = 2 };

struct StringModel {
    bool present = false;
    bool broken = false; // answered with a descriptor of the wrong type
    std::string text;
};

enum class PayloadKind { Counter, Waveform, Sequence, Stamp };

// What the device's IN endpoints deliver, transfer by transfer (transfers counted from 0).
struct StreamModel {
    PayloadKind kind = PayloadKind::Counter;
    std::vector<std::vector<std::uint8_t>> sequence; // cycled
    std::uint32_t waveformPeriod = 200;              // transfers per period
    std::uint16_t counterStart = 0;                  // a counter's first word at transfer 0
    std::optional<std::uint32_t> bytes;              // per transfer; default: the sequence's own, else 64
    std::uint32_t latencyUs = 0;                     // from submission (or the previous completion)
    std::uint32_t ratePerSecond = 0;                 // else: transfers due on a fixed schedule
    std::optional<std::uint64_t> silenceAfter;       // later transfers never complete
    std::optional<std::uint64_t> unplugAfter;        // the device is gone after this many transfers
    std::optional<std::uint32_t> replugAfterMs;      // and back this long after it went
    struct Failure {
        int error = 0;
        std::uint64_t from = 0;
        std::uint64_t count = UINT64_MAX;
    };
    std::optional<Failure> fail; // these transfers are refused with the errno
};

struct DeviceModel {
    int bus = 1;
    int address = 1;
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::array<StringModel, 3> strings;
    int refuseOpen = 0;                         // errno of every open, 0 = opens
    bool readOnly = false;                      // opens for writing fail; every request is then refused
    std::optional<std::uint32_t> openLimit;     // opens after this many fail with ENOENT
    std::optional<std::uint32_t> plugInAfterMs; // absent until this long after the description is loaded
    int setConfigurationError = 0;
    int claimError = 0;
    // A hub with this many ports (its class says so, and it answers the port query); none: not a hub.
    std::optional<std::uint8_t> hubPorts;
    // The ports from the root hub down to it ({1, 4} for 1-1.4); empty for a root hub, or for a device
    // on no hub at all (it keeps its address across unplugging, as devices of older descriptions do).
    std::vector<int> port;
    std::vector<ConfigurationModel> configurations;
    StreamModel in;
};

struct BenchModel {
    std::vector<int> buses; // buses that exist even without devices
    std::vector<DeviceModel> devices;
};

// Parses a description. On error, returns nothing and sets error to what is wrong: "line N: …" for a
// statement, "device B-A: …" for a device that is wrong as a whole.
std::optional<BenchModel> Parse(std::string_view text, std::string& error);

// The bytes the device delivers for transfer number index, before they are cut to the buffer.
// stampMicros: for a Stamp stream, when the transfer was due (steady clock, microseconds, 32 bits).
std::vector<std::uint8_t> Payload(const StreamModel& stream, std::uint64_t index,
                                  std::uint32_t stampMicros = 0);

// Descriptors as the device (and usbfs, for the device file's contents) gives them.
std::vector<std::uint8_t> DeviceDescriptor(const DeviceModel& device);
std::vector<std::uint8_t> ConfigurationDescriptor(const ConfigurationModel& configuration);
std::vector<std::uint8_t> StringDescriptor(const StringModel& string);
std::vector<std::uint8_t> LanguageDescriptor();

// The kernel's name of a device's place: "1-1.4", or "usb1" for a root hub; empty for one on no hub.
std::string PortName(const DeviceModel& device);

// The errno called name ("EPIPE") or given as a number, if known.
std::optional<int> ErrnoFromName(std::string_view name);

} // namespace usbbench
