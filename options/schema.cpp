#include "options/schema.h"

#include <CLI/CLI.hpp>
#include <array>
#include <cstdlib>
#include <sstream>
#include <string_view>

#include "core/dongle_choice.h"
#include "kestavo_version.h"

namespace kestavo::options {
namespace {

// A CLI11 check from one of the rules both programs share.
CLI::Validator Rule(std::string (*check)(const std::string&), const char* name) {
    return CLI::Validator([check](std::string& text) { return check(text); }, name);
}

std::string CheckStatus(const std::string& text) {
    std::string address;
    int port = 0;
    return ParseStatusAddress(text, address, port);
}

std::string CheckDevice(const std::string& text) {
    std::string error;
    return core::ParseDongleChoice(text, error) ? std::string() : error;
}

} // namespace

void Define(CLI::App& app, Program program, Values& values) {
    const bool service = program == Program::Service;
    if (service) {
        app.add_option("--device", values.device,
                       "The dongle: VID:PID or VID:PID:SERIAL (hexadecimal ids), or BUS/ADDRESS")
            ->check(Rule(CheckDevice, "DEVICE"));
        app.add_option("--port", values.port, "The relay's TCP port, on every interface (9001)")
            ->check(CLI::Range(1, 65535));
        app.add_flag("--list", values.list, "Print the USB devices as the window lists them, and exit");
    }
    app.add_option("--listen", values.access.listen,
                   "Listen only on this address (repeatable; default: every one)")
        ->check(Rule(core::CheckListenAddress, "ADDRESS"));
    app.add_option(
           "--allow", values.access.allow,
           "Take clients only from this NETWORK/BITS (repeatable; an IPv4 network also takes IPv4 peers "
           "of IPv6 sockets)")
        ->check(Rule(core::CheckNetwork, "NETWORK/BITS"));
    if (service) {
        app.add_option(
               "--status", values.status,
               "Serve GET /status (JSON) and GET /metrics (Prometheus) on ADDRESS:PORT, or on loopback "
               "when only a PORT is given")
            ->check(Rule(CheckStatus, "ADDRESS:PORT"));
    }
    app.add_option("--nats", values.nats,
                   "Publish every sample frame into NATS through these servers (nats://HOST:PORT, comma "
                   "separated), on SUBJECT.samples, and the configuration frame on SUBJECT.config")
        ->check(Rule(publish::CheckNatsServers, "URL[,URL...]"));
    app.add_option("--nats-subject", values.outputs.natsSubject,
                   "The NATS subjects' base (default: kestavo. and the dongle's serial, else VVVV_PPPP)")
        ->check(Rule(publish::CheckNatsSubject, "SUBJECT"));
    app.add_option("--zmq", values.outputs.zmq,
                   "Publish the raw samples on a ZeroMQ PUB socket bound to ENDPOINT (tcp://ADDRESS:PORT): "
                   "three little-endian 16-bit values per transfer")
        ->check(Rule(publish::CheckZmqEndpoint, "ENDPOINT"));
    app.add_option("--max-clients", values.access.maxClients,
                   "At most this many clients at once (0: no limit)")
        ->check(CLI::Range(0, 1000000));
    app.add_option("--max-per-address", values.access.maxPerAddress,
                   "At most this many clients from one address at once (0: no limit)")
        ->check(CLI::Range(0, 1000000));
}

std::size_t QtOptionLength(const std::vector<std::string>& arguments, std::size_t at) {
    // Qt takes its options with one dash or two, and a value as the next argument or after '='.
    static constexpr std::array<std::string_view, 14> kWithValue = {"platform",        "platformpluginpath",
                                                                    "platformtheme",   "plugin",
                                                                    "qwindowgeometry", "geometry",
                                                                    "qwindowtitle",    "title",
                                                                    "qwindowicon",     "icon",
                                                                    "display",         "style",
                                                                    "stylesheet",      "session"};
    static constexpr std::array<std::string_view, 6> kAlone = {"reverse", "widgetcount", "nograb",
                                                               "dograb",  "sync",        "qmljsdebugger"};
    std::string_view argument = arguments[at];
    if (argument.size() < 2 || argument[0] != '-') {
        return 0;
    }
    argument.remove_prefix(argument[1] == '-' ? 2 : 1);
    const auto equals = argument.find('=');
    const std::string_view name = argument.substr(0, equals);
    for (const std::string_view known : kWithValue) {
        if (name == known) {
            return equals != std::string_view::npos || at + 1 >= arguments.size() ? 1 : 2;
        }
    }
    for (const std::string_view known : kAlone) {
        if (name == known) {
            return 1;
        }
    }
    return 0;
}

std::optional<Values> Parse(const std::vector<std::string>& arguments, Program program, std::string& output,
                            int& exitCode) {
    const bool service = program == Program::Service;
    const std::string name = service ? "kestavo-relayd" : "kestavo";
    CLI::App app{service ? "Relays a USB radio dongle's samples to TCP clients, without a window."
                         : "Kestavo: relays a USB radio dongle's samples to TCP clients.",
                 name};
    app.set_version_flag("--version", name + " " + kVersion);
    if (service) {
        app.set_config("--config", "", "Read options from FILE (KEY = VALUE lines, the long options' names)");
        app.allow_config_extras(CLI::config_extras_mode::error);
    }
    Values values;
    Define(app, program, values);

    std::vector<std::string> kept;
    for (std::size_t at = 0; at < arguments.size(); ++at) {
        const std::size_t qt = service || at == 0 ? 0 : QtOptionLength(arguments, at);
        if (qt > 0) {
            at += qt - 1;
            continue;
        }
        kept.push_back(arguments[at]);
    }
    std::vector<char*> argv;
    for (std::string& argument : kept) {
        argv.push_back(argument.data());
    }
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::Success& success) {
        std::ostringstream out;
        std::ostringstream err;
        exitCode = app.exit(success, out, err);
        output = out.str() + err.str();
        return std::nullopt;
    } catch (const CLI::ParseError& error) {
        output = name + ": " + error.what() + "\nRun with --help for the options.\n";
        exitCode = 2;
        return std::nullopt;
    }
    if (!values.nats.empty()) {
        values.outputs.nats = publish::SplitNatsServers(values.nats);
    }
    if (service && !values.list && values.device.empty()) {
        output = name + ": --device is required (or --list)\n";
        exitCode = 2;
        return std::nullopt;
    }
    return values;
}

std::string ParseStatusAddress(const std::string& text, std::string& address, int& port) {
    std::string portText = text;
    address = "127.0.0.1";
    if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        address = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
            address = address.substr(1, address.size() - 2);
        }
        if (!core::CheckListenAddress(address).empty()) {
            return "'" + text + "' is not ADDRESS:PORT, [IPV6]:PORT or PORT";
        }
    }
    char* end = nullptr;
    const long value = std::strtol(portText.c_str(), &end, 10);
    if (portText.empty() || *end != '\0' || value < 1 || value > 65535) {
        return "'" + text + "' has no port from 1 to 65535";
    }
    port = static_cast<int>(value);
    return {};
}

} // namespace kestavo::options
