#include "tests/usbbench/model.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <numbers>
#include <set>

namespace usbbench {
namespace {

// Splits a line into words; a word in double quotes may hold blanks, \" and \\.
std::optional<std::vector<std::string>> Words(std::string_view line, std::string& error) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
            continue;
        }
        if (c == '#') {
            break;
        }
        std::string word;
        if (c == '"') {
            ++i;
            bool closed = false;
            while (i < line.size()) {
                if (line[i] == '\\' && i + 1 < line.size()) {
                    word += line[i + 1];
                    i += 2;
                } else if (line[i] == '"') {
                    ++i;
                    closed = true;
                    break;
                } else {
                    word += line[i++];
                }
            }
            if (!closed) {
                error = "a quoted text is not closed";
                return std::nullopt;
            }
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
                word += line[i++];
            }
        }
        words.push_back(std::move(word));
    }
    return words;
}

std::optional<std::uint64_t> Number(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || status != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::vector<std::uint8_t>> HexBytes(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    std::string digits;
    for (const char c : text) {
        if (c != ' ' && c != ':' && c != ',') {
            digits += c;
        }
    }
    if (digits.size() % 2 != 0) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        std::uint8_t byte = 0;
        const auto [end, status] = std::from_chars(digits.data() + i, digits.data() + i + 2, byte, 16);
        if (status != std::errc() || end != digits.data() + i + 2) {
            return std::nullopt;
        }
        bytes.push_back(byte);
    }
    return bytes;
}

struct ErrnoName {
    const char* name;
    int value;
};
constexpr ErrnoName kErrnos[] = {
    {"EPERM", EPERM},         {"ENOENT", ENOENT},       {"EIO", EIO},
    {"EAGAIN", EAGAIN},       {"EACCES", EACCES},       {"EBUSY", EBUSY},
    {"ENODEV", ENODEV},       {"EINVAL", EINVAL},       {"EPIPE", EPIPE},
    {"EOVERFLOW", EOVERFLOW}, {"EPROTO", EPROTO},       {"EILSEQ", EILSEQ},
    {"ETIMEDOUT", ETIMEDOUT}, {"ESHUTDOWN", ESHUTDOWN}, {"ECONNRESET", ECONNRESET},
    {"ENOMEM", ENOMEM},       {"EREMOTEIO", EREMOTEIO}, {"ENOSPC", ENOSPC},
    {"EXDEV", EXDEV},         {"ENOSR", ENOSR},
};

class Parser {
public:
    std::optional<BenchModel> Run(std::string_view text, std::string& error) {
        int lineNumber = 0;
        while (!text.empty()) {
            ++lineNumber;
            const std::size_t end = text.find('\n');
            const std::string_view line = text.substr(0, end);
            text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
            std::string problem;
            const auto words = Words(line, problem);
            if (!words || (!words->empty() && !Line(*words, problem))) {
                error = "line " + std::to_string(lineNumber) + ": " + problem;
                return std::nullopt;
            }
        }
        std::string problem;
        if (!Finish(problem)) {
            error = problem;
            return std::nullopt;
        }
        return std::move(model_);
    }

private:
    bool Line(const std::vector<std::string>& w, std::string& error) {
        const std::string& key = w[0];
        const std::size_t n = w.size();
        const auto need = [&](std::size_t low, std::size_t high) {
            if (n - 1 < low || n - 1 > high) {
                error = "'" + key + "' takes " +
                        (low == high ? std::to_string(low)
                                     : std::to_string(low) + " to " + std::to_string(high)) +
                        " values";
                return false;
            }
            return true;
        };
        const auto number = [&](std::size_t index, std::uint64_t max, std::uint64_t& out) {
            const auto value = Number(w[index]);
            if (!value || *value > max) {
                error = "'" + w[index] + "' is not a number from 0 to " + std::to_string(max);
                return false;
            }
            out = *value;
            return true;
        };
        const auto errnoValue = [&](std::size_t index, int& out) {
            const auto value = ErrnoFromName(w[index]);
            if (!value) {
                error = "'" + w[index] + "' is not an errno name or number";
                return false;
            }
            out = *value;
            return true;
        };
        std::uint64_t a = 0;
        std::uint64_t b = 0;
        std::uint64_t c = 0;
        std::uint64_t d = 0;

        if (key == "bus") {
            if (!need(1, 1) || !number(1, 999, a)) {
                return false;
            }
            model_.buses.push_back(static_cast<int>(a));
            return true;
        }
        if (key == "device") {
            if (!need(4, 4) || !number(1, 999, a) || !number(2, 255, b) || !number(3, 0xFFFF, c) ||
                !number(4, 0xFFFF, d)) {
                return false;
            }
            if (b == 0) {
                error = "a device address starts at 1";
                return false;
            }
            for (const DeviceModel& other : model_.devices) {
                if (other.bus == static_cast<int>(a) && other.address == static_cast<int>(b)) {
                    error =
                        "bus " + std::to_string(a) + " already has a device at address " + std::to_string(b);
                    return false;
                }
            }
            DeviceModel device;
            device.bus = static_cast<int>(a);
            device.address = static_cast<int>(b);
            device.vendor = static_cast<std::uint16_t>(c);
            device.product = static_cast<std::uint16_t>(d);
            model_.devices.push_back(std::move(device));
            return true;
        }
        static const std::set<std::string> kDeviceWords = {"manufacturer",
                                                           "product",
                                                           "serial",
                                                           "broken-string",
                                                           "refuse-open",
                                                           "read-only",
                                                           "open-limit",
                                                           "set-configuration-fails",
                                                           "claim-fails",
                                                           "configuration",
                                                           "interface",
                                                           "altsetting",
                                                           "endpoint",
                                                           "in",
                                                           "in-bytes",
                                                           "in-latency-us",
                                                           "in-rate",
                                                           "in-silence-after",
                                                           "in-unplug-after",
                                                           "in-replug-after-ms",
                                                           "in-fail",
                                                           "plug-in-after-ms",
                                                           "hub",
                                                           "port"};
        if (kDeviceWords.count(key) == 0) {
            error = "unknown word '" + key + "'";
            return false;
        }
        if (model_.devices.empty()) {
            error = "'" + key + "' comes before any 'device'";
            return false;
        }
        DeviceModel& device = model_.devices.back();

        if (key == "manufacturer" || key == "product" || key == "serial") {
            if (!need(1, 1)) {
                return false;
            }
            StringModel& string = device.strings[StringSlot(key)];
            string.present = true;
            string.text = w[1];
            return true;
        }
        if (key == "broken-string") {
            if (!need(1, 1)) {
                return false;
            }
            if (w[1] != "manufacturer" && w[1] != "product" && w[1] != "serial") {
                error = "'broken-string' names manufacturer, product or serial";
                return false;
            }
            StringModel& string = device.strings[StringSlot(w[1])];
            string.present = true;
            string.broken = true;
            return true;
        }
        if (key == "refuse-open") {
            device.refuseOpen = EACCES;
            return need(0, 1) && (n == 1 || errnoValue(1, device.refuseOpen));
        }
        if (key == "hub") {
            if (!need(1, 1) || !number(1, 127, a)) {
                return false;
            }
            if (a == 0) {
                error = "a hub has at least 1 port";
                return false;
            }
            device.hubPorts = static_cast<std::uint8_t>(a);
            return true;
        }
        if (key == "port") {
            return need(1, 1) && PortPath(w[1], device, error);
        }
        if (key == "read-only") {
            device.readOnly = true;
            return need(0, 0);
        }
        if (key == "plug-in-after-ms") {
            if (!need(1, 1) || !number(1, 3'600'000, a)) {
                return false;
            }
            device.plugInAfterMs = static_cast<std::uint32_t>(a);
            return true;
        }
        if (key == "open-limit") {
            if (!need(1, 1) || !number(1, UINT32_MAX, a)) {
                return false;
            }
            device.openLimit = static_cast<std::uint32_t>(a);
            return true;
        }
        if (key == "set-configuration-fails") {
            return need(1, 1) && errnoValue(1, device.setConfigurationError);
        }
        if (key == "claim-fails") {
            return need(1, 1) && errnoValue(1, device.claimError);
        }
        if (key == "configuration") {
            if (!need(1, 1) || !number(1, 255, a)) {
                return false;
            }
            ConfigurationModel configuration;
            configuration.value = static_cast<std::uint8_t>(a);
            device.configurations.push_back(configuration);
            return true;
        }
        if (key == "interface") {
            if (!need(1, 1) || !number(1, 255, a)) {
                return false;
            }
            if (device.configurations.empty()) {
                error = "'interface' comes before any 'configuration'";
                return false;
            }
            InterfaceModel interface;
            interface.number = static_cast<std::uint8_t>(a);
            device.configurations.back().interfaces.push_back(interface);
            return true;
        }
        if (key == "altsetting") {
            if (!need(1, 2) || !number(1, 255, a) || (n == 3 && !number(2, 255, b))) {
                return false;
            }
            if (device.configurations.empty() || device.configurations.back().interfaces.empty()) {
                error = "'altsetting' comes before any 'interface'";
                return false;
            }
            AltSettingModel setting;
            setting.number = static_cast<std::uint8_t>(a);
            if (n == 3) {
                setting.interfaceClass = static_cast<std::uint8_t>(b);
            }
            device.configurations.back().interfaces.back().altSettings.push_back(setting);
            return true;
        }
        if (key == "endpoint") {
            if (!need(3, 4) || !number(1, 255, a) || !number(3, 0xFFFF, c) ||
                (n == 5 && !number(4, 255, d))) {
                return false;
            }
            EndpointModel endpoint;
            endpoint.address = static_cast<std::uint8_t>(a);
            endpoint.maxPacketSize = static_cast<std::uint16_t>(c);
            endpoint.interval = static_cast<std::uint8_t>(d);
            if (w[2] == "control") {
                endpoint.type = TransferType::Control;
            } else if (w[2] == "isochronous") {
                endpoint.type = TransferType::Isochronous;
            } else if (w[2] == "bulk") {
                endpoint.type = TransferType::Bulk;
            } else if (w[2] == "interrupt") {
                endpoint.type = TransferType::Interrupt;
            } else {
                error = "an endpoint's type is control, isochronous, bulk or interrupt";
                return false;
            }
            if (device.configurations.empty() || device.configurations.back().interfaces.empty() ||
                device.configurations.back().interfaces.back().altSettings.empty()) {
                error = "'endpoint' comes before any 'altsetting'";
                return false;
            }
            device.configurations.back().interfaces.back().altSettings.back().endpoints.push_back(endpoint);
            return true;
        }
        if (key == "in") {
            if (n < 2) {
                error = "'in' takes counter, waveform or sequence";
                return false;
            }
            StreamModel& in = device.in;
            if (w[1] == "counter") {
                in.kind = PayloadKind::Counter;
                if (!need(1, 2) || (n == 3 && !number(2, 0xFFFF, a))) {
                    return false;
                }
                in.counterStart = static_cast<std::uint16_t>(a);
                return true;
            }
            if (w[1] == "stamp") {
                in.kind = PayloadKind::Stamp;
                return need(1, 1);
            }
            if (w[1] == "waveform") {
                in.kind = PayloadKind::Waveform;
                if (!need(1, 2) || (n == 3 && !number(2, UINT32_MAX, a))) {
                    return false;
                }
                if (n == 3) {
                    if (a == 0) {
                        error = "a waveform's period is at least 1 transfer";
                        return false;
                    }
                    in.waveformPeriod = static_cast<std::uint32_t>(a);
                }
                return true;
            }
            if (w[1] == "sequence") {
                in.kind = PayloadKind::Sequence;
                in.sequence.clear();
                std::string all;
                for (std::size_t i = 2; i < n; ++i) {
                    all += w[i];
                    all += ' ';
                }
                std::size_t start = 0;
                while (start <= all.size()) {
                    const std::size_t semicolon = all.find(';', start);
                    const std::string_view part = std::string_view(all).substr(
                        start, semicolon == std::string::npos ? std::string::npos : semicolon - start);
                    const auto bytes = HexBytes(part);
                    if (!bytes) {
                        error = "'" + std::string(part) + "' is not a run of hexadecimal bytes";
                        return false;
                    }
                    in.sequence.push_back(*bytes);
                    if (semicolon == std::string::npos) {
                        break;
                    }
                    start = semicolon + 1;
                }
                return true;
            }
            error = "'in' takes counter, waveform or sequence";
            return false;
        }
        if (key == "in-bytes") {
            if (!need(1, 1) || !number(1, 1 << 24, a)) {
                return false;
            }
            device.in.bytes = static_cast<std::uint32_t>(a);
            return true;
        }
        if (key == "in-rate") {
            if (!need(1, 1) || !number(1, 10'000'000, a)) {
                return false;
            }
            device.in.ratePerSecond = static_cast<std::uint32_t>(a);
            return true;
        }
        if (key == "in-latency-us") {
            if (!need(1, 1) || !number(1, 60'000'000, a)) {
                return false;
            }
            device.in.latencyUs = static_cast<std::uint32_t>(a);
            return true;
        }
        if (key == "in-silence-after" || key == "in-unplug-after") {
            if (!need(1, 1) || !number(1, UINT64_MAX, a)) {
                return false;
            }
            (key == "in-silence-after" ? device.in.silenceAfter : device.in.unplugAfter) = a;
            return true;
        }
        if (key == "in-replug-after-ms") {
            if (!need(1, 1) || !number(1, 3'600'000, a)) {
                return false;
            }
            device.in.replugAfterMs = static_cast<std::uint32_t>(a);
            return true;
        }
        if (key == "in-fail") {
            StreamModel::Failure failure;
            if (!need(1, 3) || !errnoValue(1, failure.error) || (n >= 3 && !number(2, UINT64_MAX, a)) ||
                (n == 4 && !number(3, UINT64_MAX, b))) {
                return false;
            }
            if (n >= 3) {
                failure.from = a;
            }
            if (n == 4) {
                failure.count = b;
            }
            device.in.fail = failure;
            return true;
        }
        error = "unknown word '" + key + "'";
        return false;
    }

    // "BUS-PORT[.PORT...]", on the device's own bus.
    static bool PortPath(const std::string& text, DeviceModel& device, std::string& error) {
        const std::string bad = "'" + text + "' is not BUS-PORT[.PORT...] on the device's bus " +
                                std::to_string(device.bus) + " (as in " + std::to_string(device.bus) +
                                "-1.4)";
        const std::size_t dash = text.find('-');
        if (dash == std::string::npos || Number(text.substr(0, dash)) != std::uint64_t(device.bus)) {
            error = bad;
            return false;
        }
        device.port.clear();
        std::size_t start = dash + 1;
        for (;;) {
            const std::size_t dot = text.find('.', start);
            const auto number = Number(text.substr(start, dot == std::string::npos ? dot : dot - start));
            if (!number || *number == 0 || *number > 127 || device.port.size() == 7) {
                error = bad;
                return false;
            }
            device.port.push_back(static_cast<int>(*number));
            if (dot == std::string::npos) {
                return true;
            }
            start = dot + 1;
        }
    }

    static std::size_t StringSlot(const std::string& key) {
        return key == "manufacturer" ? kManufacturer : key == "product" ? kProduct : kSerial;
    }

    // Every device on a port hangs from a hub that has that port, and no port holds two.
    bool CheckPorts(const DeviceModel& device, const std::string& name, std::string& error) const {
        if (device.hubPorts && device.port.empty()) {
            for (const DeviceModel& other : model_.devices) {
                if (&other != &device && other.bus == device.bus && other.hubPorts && other.port.empty()) {
                    error = name + ": bus " + std::to_string(device.bus) + " has two root hubs";
                    return false;
                }
            }
            if (device.address != 1) {
                error = name + ": a root hub has address 1, as the kernel gives it";
                return false;
            }
            return true;
        }
        if (device.port.empty()) {
            return true;
        }
        const std::vector<int> parentPath(device.port.begin(), device.port.end() - 1);
        const DeviceModel* parent = nullptr;
        for (const DeviceModel& other : model_.devices) {
            if (&other != &device && other.bus == device.bus && other.hubPorts && other.port == parentPath) {
                parent = &other;
            }
            if (&other != &device && other.bus == device.bus && other.port == device.port) {
                error = name + ": port " + PortName(device) + " holds two devices";
                return false;
            }
        }
        if (parent == nullptr) {
            error = name + ": no hub is described above port " + PortName(device);
            return false;
        }
        if (device.port.back() > *parent->hubPorts) {
            error = name + ": its hub has " + std::to_string(*parent->hubPorts) + " ports";
            return false;
        }
        return true;
    }

    bool Finish(std::string& error) {
        for (const DeviceModel& device : model_.devices) {
            const std::string name =
                "device " + std::to_string(device.bus) + "-" + std::to_string(device.address);
            if (!CheckPorts(device, name, error)) {
                return false;
            }
            for (const ConfigurationModel& configuration : device.configurations) {
                if (configuration.interfaces.empty()) {
                    // The USB library's scan reads the first interface of every configuration without
                    // looking at the count, past an empty allocation: such a device may crash it.
                    error = name +
                            ": a configuration needs an interface (one without alternate settings will "
                            "do); the USB library reads past an empty list";
                    return false;
                }
                bool emptySeen = false;
                for (const InterfaceModel& interface : configuration.interfaces) {
                    if (interface.altSettings.empty()) {
                        emptySeen = true;
                    } else if (emptySeen) {
                        error = name + ": an interface without alternate settings must come last in its "
                                       "configuration, since it sends no descriptor";
                        return false;
                    }
                }
            }
            for (const StringModel& string : device.strings) {
                // The library reads at most 255 bytes: a descriptor holds 126 characters at most.
                if (string.text.size() > 126) {
                    error = name + ": a string holds at most 126 characters";
                    return false;
                }
            }
        }
        return true;
    }

    BenchModel model_;
};

void PutBytes(std::vector<std::uint8_t>& out, std::initializer_list<std::uint8_t> bytes) {
    for (const std::uint8_t byte : bytes) {
        out.push_back(byte);
    }
}

void PutWord(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutBigEndian(std::vector<std::uint8_t>& out, std::size_t at, std::uint16_t value) {
    if (at + 1 < out.size()) {
        out[at] = static_cast<std::uint8_t>(value >> 8);
        out[at + 1] = static_cast<std::uint8_t>(value & 0xFF);
    } else if (at < out.size()) {
        out[at] = static_cast<std::uint8_t>(value >> 8);
    }
}

} // namespace

std::optional<BenchModel> Parse(std::string_view text, std::string& error) {
    return Parser().Run(text, error);
}

std::string PortName(const DeviceModel& device) {
    if (device.port.empty()) {
        return device.hubPorts ? "usb" + std::to_string(device.bus) : std::string();
    }
    std::string name = std::to_string(device.bus) + "-";
    for (std::size_t i = 0; i < device.port.size(); ++i) {
        name += (i == 0 ? "" : ".") + std::to_string(device.port[i]);
    }
    return name;
}

std::optional<int> ErrnoFromName(std::string_view name) {
    for (const ErrnoName& known : kErrnos) {
        if (name == known.name) {
            return known.value;
        }
    }
    const auto number = Number(name);
    if (number && *number > 0 && *number < 4096) {
        return static_cast<int>(*number);
    }
    return std::nullopt;
}

std::vector<std::uint8_t> Payload(const StreamModel& stream, std::uint64_t index, std::uint32_t stampMicros) {
    if (stream.kind == PayloadKind::Sequence && !stream.sequence.empty()) {
        std::vector<std::uint8_t> bytes = stream.sequence[index % stream.sequence.size()];
        if (stream.bytes) {
            bytes.resize(*stream.bytes, 0);
        }
        return bytes;
    }
    std::vector<std::uint8_t> bytes(stream.bytes.value_or(64), 0);
    if (stream.kind == PayloadKind::Stamp) {
        // The transfer's number (16 bits) and when it was due: what a relay client's latency is measured
        // from.
        PutBigEndian(bytes, 0, static_cast<std::uint16_t>(index));
        PutBigEndian(bytes, 2, static_cast<std::uint16_t>(stampMicros >> 16));
        PutBigEndian(bytes, 4, static_cast<std::uint16_t>(stampMicros));
        return bytes;
    }
    if (stream.kind == PayloadKind::Waveform) {
        // Three slow waves around mid-scale: a sine, a triangle and a sawtooth.
        const double phase = static_cast<double>(index % stream.waveformPeriod) / stream.waveformPeriod;
        const double sine = 32768.0 + 30000.0 * std::sin(2.0 * std::numbers::pi * phase);
        const double triangle = 2768.0 + 60000.0 * (phase < 0.5 ? 2.0 * phase : 2.0 - 2.0 * phase);
        const double saw = 2768.0 + 60000.0 * phase;
        PutBigEndian(bytes, 0, static_cast<std::uint16_t>(sine));
        PutBigEndian(bytes, 2, static_cast<std::uint16_t>(triangle));
        PutBigEndian(bytes, 4, static_cast<std::uint16_t>(saw));
        return bytes;
    }
    // Counter: the payload's big-endian 16-bit words count up from the transfer's number.
    for (std::size_t word = 0; word * 2 < bytes.size(); ++word) {
        PutBigEndian(bytes, word * 2, static_cast<std::uint16_t>(stream.counterStart + index + word));
    }
    return bytes;
}

std::vector<std::uint8_t> DeviceDescriptor(const DeviceModel& device) {
    std::vector<std::uint8_t> out{18, 1};
    PutWord(out, 0x0200);
    if (device.hubPorts) {
        PutBytes(out, {9, 0, 0, 64}); // the hub class
    } else {
        PutBytes(out, {0xFF, 0xFF, 0xFF, 64});
    }
    PutWord(out, device.vendor);
    PutWord(out, device.product);
    PutWord(out, 0x0100);
    out.push_back(device.strings[kManufacturer].present ? 1 : 0);
    out.push_back(device.strings[kProduct].present ? 2 : 0);
    out.push_back(device.strings[kSerial].present ? 3 : 0);
    out.push_back(static_cast<std::uint8_t>(device.configurations.size()));
    return out;
}

std::vector<std::uint8_t> ConfigurationDescriptor(const ConfigurationModel& configuration) {
    std::vector<std::uint8_t> out{
        9, 2,    0, 0, static_cast<std::uint8_t>(configuration.interfaces.size()), configuration.value,
        0, 0x80, 50};
    for (const InterfaceModel& interface : configuration.interfaces) {
        for (const AltSettingModel& setting : interface.altSettings) {
            PutBytes(out,
                     {9, 4, interface.number, setting.number,
                      static_cast<std::uint8_t>(setting.endpoints.size()), setting.interfaceClass, 0, 0, 0});
            for (const EndpointModel& endpoint : setting.endpoints) {
                PutBytes(out, {7, 5, endpoint.address, static_cast<std::uint8_t>(endpoint.type)});
                PutWord(out, endpoint.maxPacketSize);
                out.push_back(endpoint.interval);
            }
        }
    }
    out[2] = static_cast<std::uint8_t>(out.size() & 0xFF);
    out[3] = static_cast<std::uint8_t>(out.size() >> 8);
    return out;
}

std::vector<std::uint8_t> StringDescriptor(const StringModel& string) {
    // UTF-8 text becomes UTF-16 code units; characters outside the first plane become '?'.
    std::vector<std::uint8_t> out{0, static_cast<std::uint8_t>(string.broken ? 2 : 3)};
    const std::string& text = string.text;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::uint32_t code = lead;
        std::size_t length = 1;
        if (lead >= 0xF0) {
            length = 4;
            code = '?';
        } else if (lead >= 0xE0 && i + 2 < text.size()) {
            length = 3;
            code = ((lead & 0x0Fu) << 12) | ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6) |
                   (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
        } else if (lead >= 0xC0 && i + 1 < text.size()) {
            length = 2;
            code = ((lead & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
        }
        PutWord(out, static_cast<std::uint16_t>(code));
        i += length;
    }
    out[0] = static_cast<std::uint8_t>(std::min<std::size_t>(out.size(), 255));
    return out;
}

std::vector<std::uint8_t> LanguageDescriptor() {
    return {4, 3, 0x09, 0x04};
}

} // namespace usbbench
