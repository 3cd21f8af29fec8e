#include "options/schema.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string_view>

#include "core/dongle_choice.h"
#include "kestavo_version.h"
#include "record/recorder.h"

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

std::string CheckSize(const std::string& text) {
    std::uint64_t bytes = 0;
    return record::ParseSize(text, bytes) && bytes > 0
               ? std::string()
               : "'" + text + "' is not a size (such as 64K, 100M, 1G)";
}

std::string CheckDuration(const std::string& text) {
    std::uint64_t seconds = 0;
    return record::ParseDuration(text, seconds) && seconds > 0
               ? std::string()
               : "'" + text + "' is not a duration (such as 30s, 10m, 1h, 1h30m)";
}

std::string CheckDevice(const std::string& text) {
    std::string error;
    return core::ParseDongleChoice(text, error) ? std::string() : error;
}

} // namespace

namespace {

// The options each dongle has of its own. service: the service's, which also chooses the dongle and
// its port (the window has its own in its configuration file).
void DefineDongle(CLI::App& app, bool service, DongleOptions& values) {
    if (service) {
        app.add_option("--device", values.device,
                       "The dongle: VID:PID or VID:PID:SERIAL (hexadecimal ids), BUS/ADDRESS, or "
                       "port:BUS-PORT[.PORT...] (the hub port it is plugged into, as in port:1-1.4)")
            ->check(Rule(CheckDevice, "DEVICE"));
        app.add_option("--port", values.port, "The relay's TCP port, on every interface (9001)")
            ->check(CLI::Range(1, 65535));
    }
    app.add_option("--listen", values.access.listen,
                   "Listen only on this address (repeatable; default: every one)")
        ->check(Rule(core::CheckListenAddress, "ADDRESS"));
    app.add_option(
           "--allow", values.access.allow,
           "Take clients only from this NETWORK/BITS (repeatable; an IPv4 network also takes IPv4 peers "
           "of IPv6 sockets)")
        ->check(Rule(core::CheckNetwork, "NETWORK/BITS"));
    app.add_option("--nats", values.nats,
                   "Publish every sample frame into NATS through these servers (nats://HOST:PORT, comma "
                   "separated), on SUBJECT.samples, and the configuration frame on SUBJECT.config")
        ->check(Rule(publish::CheckNatsServers, "URL[,URL...]"));
    app.add_option("--nats-subject", values.outputs.natsSubject,
                   "The NATS subjects' base (default: kestavo. and the dongle's serial, else VVVV_PPPP; "
                   "for a dongle of a [dongle.NAME] section, kestavo.NAME)")
        ->check(Rule(publish::CheckNatsSubject, "SUBJECT"));
    CLI::Option* zmq =
        app.add_option(
               "--zmq", values.outputs.zmq,
               "Publish the raw samples on a ZeroMQ PUB socket bound to ENDPOINT (tcp://ADDRESS:PORT): "
               "three little-endian 16-bit values per transfer")
            ->check(Rule(publish::CheckZmqEndpoint, "ENDPOINT"));
    app.add_flag("--zmq-header", values.outputs.zmqHeader,
                 "Lead each ZeroMQ message with a 24-byte part saying which transfers follow and when the "
                 "first was read (a ZMQ SUB Source of GNU Radio takes one part: leave it off there)")
        ->needs(zmq);
    app.add_option("--tls-port", values.tls.port,
                   "Also relay over TLS on this TCP port (needs --tls-cert and --tls-key)")
        ->check(CLI::Range(1, 65535));
    app.add_option("--tls-cert", values.tls.certificate,
                   "The relay's TLS certificate (PEM; the chain may follow it)");
    app.add_option("--tls-key", values.tls.key, "The TLS certificate's private key (PEM)");
    app.add_option("--tls-client-ca", values.tls.clientCa,
                   "Admit only TLS clients that present a currently valid certificate signed by this CA "
                   "(PEM)");
    app.add_flag("--no-plain", values.tls.noPlain,
                 "Listen on no plain port: clients reach the relay through TLS only");
    if (service) {
        app.add_option("--record", values.record,
                       "Record every transfer's samples as SigMF in DIR: NAME-UTCSTART.sigmf-data and "
                       ".sigmf-meta, NAME the dongle's");
        app.add_option("--record-file-size", values.recordFileSize,
                       "A new recording once one holds this many bytes of samples (1G; K, M, G)")
            ->check(Rule(CheckSize, "SIZE"));
        app.add_option("--record-file-time", values.recordFileTime,
                       "A new recording once one is this long (such as 10m, 1h; default: none)")
            ->check(Rule(CheckDuration, "DURATION"));
        app.add_option("--record-keep", values.recordKeep,
                       "Keep the dongle's recordings within this many bytes, the oldest deleted first "
                       "(default: no limit)")
            ->check(Rule(CheckSize, "SIZE"));
    }
    app.add_option("--max-clients", values.access.maxClients,
                   "At most this many clients at once (0: no limit)")
        ->check(CLI::Range(0, 1000000));
    app.add_option("--max-per-address", values.access.maxPerAddress,
                   "At most this many clients from one address at once (0: no limit)")
        ->check(CLI::Range(0, 1000000));
}

// Parses the arguments (the program's name first) as a command line; throws as CLI11 does.
void ParseArguments(CLI::App& app, std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    app.parse(static_cast<int>(argv.size()), argv.data());
}

// The service's configuration file as CLI11 reads it, but for its [dongle.NAME] sections, which are
// kept aside for the dongles' own parse: CLI11 would take their keys for unknown options.
struct Sections {
    std::vector<std::string> names;                           // in the file's order
    std::map<std::string, std::vector<CLI::ConfigItem>> keys; // by name
    std::string error;                                        // why one cannot be taken, if one cannot
};

class SplittingConfig : public CLI::ConfigTOML {
public:
    explicit SplittingConfig(std::shared_ptr<Sections> sections) : sections_(std::move(sections)) {}

    std::vector<CLI::ConfigItem> from_config(std::istream& input) const override {
        const std::string text(std::istreambuf_iterator<char>(input), {});
        // A section named twice would have its keys merged silently: found here, where the headers are.
        std::istringstream lines(text);
        std::set<std::string> headers;
        for (std::string line; std::getline(lines, line);) {
            const auto first = line.find_first_not_of(" \t");
            const auto last = line.find_last_not_of(" \t\r");
            if (first == std::string::npos || line[first] != '[' || line[last] != ']') {
                continue;
            }
            const std::string header = line.substr(first + 1, last - first - 1);
            if (!headers.insert(header).second && sections_->error.empty()) {
                sections_->error = "the section [" + header + "] is there twice";
            }
        }
        std::istringstream again(text);
        std::vector<CLI::ConfigItem> kept;
        for (CLI::ConfigItem& item : CLI::ConfigTOML::from_config(again)) {
            if (!item.parents.empty() && item.parents.front() != "dongle") {
                if (sections_->error.empty()) {
                    sections_->error = "the section [" + item.parents.front() +
                                       "] is unknown (a dongle's section is [dongle.NAME])";
                }
                continue;
            }
            if (item.parents.empty()) {
                kept.push_back(std::move(item));
                continue;
            }
            if (item.parents.size() == 1) {
                if (item.name != "--" && item.name != "++" && sections_->error.empty()) {
                    sections_->error = "a dongle's section is named: [dongle.NAME]";
                }
                continue;
            }
            const std::string& name = item.parents[1];
            if (item.parents.size() > 2 && sections_->error.empty()) {
                sections_->error = "[dongle." + name + "] has no section " + item.parents[2];
            }
            if (std::find(sections_->names.begin(), sections_->names.end(), name) == sections_->names.end()) {
                sections_->names.push_back(name);
            }
            if (item.name != "--" && item.name != "++") {
                sections_->keys[name].push_back(std::move(item));
            }
        }
        return kept;
    }

private:
    std::shared_ptr<Sections> sections_;
};

bool GoodSectionName(const std::string& name) {
    return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
    });
}

// One section's keys through the dongle's options, as if given on a command line. Empty when good.
std::string ParseSection(const std::string& name, const std::vector<CLI::ConfigItem>& keys,
                         DongleOptions& dongle) {
    const std::string where = "[dongle." + name + "]";
    if (!GoodSectionName(name)) {
        return where + ": a dongle's name is letters, digits, '-' and '_' (at most 64)";
    }
    std::vector<std::string> arguments = {"kestavo-relayd"};
    for (const CLI::ConfigItem& item : keys) {
        const auto& known = DongleKeys();
        if (std::find(known.begin(), known.end(), item.name) == known.end()) {
            std::string list;
            for (const std::string& key : known) {
                list += (list.empty() ? "" : ", ") + key;
            }
            return where + ": unknown key '" + item.name + "' (a dongle's keys: " + list + ")";
        }
        for (const std::string& input : item.inputs) {
            // One word, so that a flag's value (no-plain = true) stays with it.
            arguments.push_back("--" + item.name + "=" + input);
        }
    }
    CLI::App app{"", "kestavo-relayd"};
    dongle = DongleOptions{};
    dongle.name = name;
    DefineDongle(app, true, dongle);
    try {
        ParseArguments(app, arguments);
    } catch (const CLI::ParseError& error) {
        std::string what = error.what();
        // CLI11 names the option; the file's reader knows it as a key.
        if (what.rfind("--", 0) == 0) {
            what.erase(0, 2);
        }
        return where + " " + what;
    }
    if (dongle.device.empty()) {
        return where + ": no key 'device' names its dongle";
    }
    return {};
}

// What the dongles must not share. Empty when good.
std::string CheckApart(const std::vector<DongleOptions>& dongles) {
    for (std::size_t i = 0; i < dongles.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            const DongleOptions& a = dongles[j];
            const DongleOptions& b = dongles[i];
            const std::string where = b.name == "default" ? "the top level" : "[dongle." + b.name + "]";
            const std::string other = a.name == "default" ? "the top level's" : "[dongle." + a.name + "]'s";
            std::string error;
            if (a.name == b.name) {
                return "two dongles are named " + a.name;
            }
            const auto ports = [](const DongleOptions& dongle) {
                std::vector<int> taken;
                if (!dongle.tls.noPlain) {
                    taken.push_back(dongle.port);
                }
                if (dongle.tls.Any()) {
                    taken.push_back(dongle.tls.port);
                }
                return taken;
            };
            for (const int port : ports(b)) {
                for (const int theirs : ports(a)) {
                    if (port == theirs) {
                        return where + " port: " + std::to_string(port) + " is " + other + " relay port too";
                    }
                }
            }
            if (core::Describe(*core::ParseDongleChoice(a.device, error)) ==
                core::Describe(*core::ParseDongleChoice(b.device, error))) {
                return where + " device: " + b.device + " is " + other + " dongle too";
            }
            if (!a.outputs.zmq.empty() && a.outputs.zmq == b.outputs.zmq) {
                return where + " zmq: " + b.outputs.zmq + " is " + other + " endpoint too";
            }
            // Two dongles publishing into one subject could not be told apart by a subscriber.
            if (!a.outputs.natsSubject.empty() && a.outputs.natsSubject == b.outputs.natsSubject) {
                return where + " nats-subject: " + b.outputs.natsSubject + " is " + other + " subject too";
            }
        }
    }
    return {};
}

} // namespace

const std::vector<std::string>& DongleKeys() {
    static const std::vector<std::string> keys = {"device",
                                                  "port",
                                                  "listen",
                                                  "allow",
                                                  "nats",
                                                  "nats-subject",
                                                  "zmq",
                                                  "zmq-header",
                                                  "max-clients",
                                                  "max-per-address",
                                                  "tls-port",
                                                  "tls-cert",
                                                  "tls-key",
                                                  "tls-client-ca",
                                                  "no-plain",
                                                  "record",
                                                  "record-file-size",
                                                  "record-file-time",
                                                  "record-keep"};
    return keys;
}

void Define(CLI::App& app, Program program, Values& values) {
    const bool service = program == Program::Service;
    DefineDongle(app, service, values);
    if (service) {
        app.add_flag("--list", values.list, "Print the USB devices as the window lists them, and exit");
        app.add_option(
               "--status", values.status,
               "Serve GET /status (JSON), GET /metrics (Prometheus) and a live page for browsers (GET /) on "
               "ADDRESS:PORT, or on loopback when only a PORT is given")
            ->check(Rule(CheckStatus, "ADDRESS:PORT"));
        app.add_option("--replay", values.replay,
                       "Serve the SigMF recording FILE.sigmf-meta as if it were the dongle, instead of one");
        app.add_option("--replay-rate", values.replayRate,
                       "Replay at this many transfers a second (default: the recording's core:sample_rate)")
            ->check(CLI::Range(0.001, 1e7));
        app.add_flag("--replay-loop", values.replayLoop,
                     "Start the recording over at its end (else the relay stops and the service ends)");
        app.add_option("--status-token-file", values.statusTokenFile,
                       "With TLS, admit to the status page a request that bears the token in FILE "
                       "(Authorization: Bearer TOKEN), as well as a client certificate");
    }
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
    const auto sections = std::make_shared<Sections>();
    if (service) {
        app.set_config("--config", "",
                       "Read options from FILE (KEY = VALUE lines, the long options' names; a [dongle.NAME] "
                       "section for each further dongle)");
        app.allow_config_extras(CLI::config_extras_mode::error);
        app.config_formatter(std::make_shared<SplittingConfig>(sections));
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
    try {
        ParseArguments(app, kept);
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
    const auto fail = [&](const std::string& why) {
        output = name + ": " + why + "\n";
        exitCode = 2;
        return std::nullopt;
    };
    if (!sections->error.empty()) {
        return fail(sections->error);
    }
    if (!values.nats.empty()) {
        values.outputs.nats = publish::SplitNatsServers(values.nats);
    }
    if (!service || values.list) {
        if (const std::string error = core::CheckTlsOptions(values.tls, values.port); !error.empty()) {
            return fail(error);
        }
        return values;
    }
    if (!values.replay.empty()) {
        // The recording stands in for the dongle.
        if (!values.device.empty() || !sections->names.empty()) {
            return fail("--replay serves a recording instead of a dongle: give no --device and no "
                        "[dongle.NAME] section beside it");
        }
        values.name = "replay";
        values.dongles.push_back(values);
    } else if (values.replayRate > 0 || values.replayLoop) {
        return fail("--replay-rate and --replay-loop need --replay");
    } else if (!values.device.empty()) {
        values.dongles.push_back(values);
    } else if (sections->names.empty()) {
        return fail("--device is required (or --list, or --replay)");
    } else {
        // Without a device of their own, the top level's dongle options would belong to no dongle.
        for (const std::string& key : DongleKeys()) {
            if (app.get_option("--" + key)->count() > 0) {
                return fail("--" + key +
                            " belongs to a dongle: give --device beside it, or put it in a "
                            "[dongle.NAME] section");
            }
        }
    }
    for (const std::string& section : sections->names) {
        DongleOptions dongle;
        if (const std::string error = ParseSection(section, sections->keys[section], dongle);
            !error.empty()) {
            return fail(error);
        }
        if (!dongle.nats.empty()) {
            dongle.outputs.nats = publish::SplitNatsServers(dongle.nats);
        }
        values.dongles.push_back(std::move(dongle));
    }
    for (const DongleOptions& dongle : values.dongles) {
        if (std::string error = core::CheckTlsOptions(dongle.tls, dongle.port); !error.empty()) {
            return fail(dongle.name == "default" ? error : "[dongle." + dongle.name + "] " + error);
        }
    }
    if (!values.statusTokenFile.empty() && !values.tls.Any()) {
        return fail("--status-token-file needs --tls-port, --tls-cert and --tls-key: a token is only ever "
                    "sent over TLS");
    }
    if (const std::string error = CheckApart(values.dongles); !error.empty()) {
        return fail(error);
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
