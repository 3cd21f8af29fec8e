// The USB test bench's device description parser. Beyond not crashing: a description it accepts gives
// descriptors whose lengths add up as the USB library expects, and payloads of the size described.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "require.h"
#include "tests/usbbench/model.h"

using kestavo::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string error;
    const auto model = usbbench::Parse(std::string_view(reinterpret_cast<const char*>(data), size), error);
    if (!model) {
        Require(!error.empty());
        return 0;
    }
    for (const usbbench::DeviceModel& device : model->devices) {
        const auto descriptor = usbbench::DeviceDescriptor(device);
        Require(descriptor.size() == 18 && descriptor[0] == 18);
        Require(descriptor[17] == device.configurations.size());
        for (const usbbench::ConfigurationModel& configuration : device.configurations) {
            const auto bytes = usbbench::ConfigurationDescriptor(configuration);
            Require(bytes.size() >= 9);
            Require(static_cast<std::size_t>(bytes[2] | (bytes[3] << 8)) == bytes.size());
        }
        for (const usbbench::StringModel& string : device.strings) {
            const auto bytes = usbbench::StringDescriptor(string);
            Require(bytes.empty() || bytes.size() <= 255);
        }
        for (std::uint64_t index : {0ULL, 1ULL, 199ULL, 1000000ULL}) {
            const auto payload = usbbench::Payload(device.in, index);
            if (device.in.bytes) {
                Require(payload.size() == *device.in.bytes);
            }
        }
    }
    return 0;
}
