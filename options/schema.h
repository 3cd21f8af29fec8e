#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/access_options.h"
#include "core/tls_options.h"
#include "publish/outputs.h"

namespace CLI {
class App;
}

// The programs' options, each defined once: its name (also its key in the service's configuration
// file, without the dashes), the check of its value and its help text. Both programs' --help is built
// from here; the window takes the options that make sense without a service around it.
namespace kestavo::options {

enum class Program { Window, Service };

// What each dongle of the service has of its own (and what the window takes of the same).
struct DongleOptions {
    std::string name = "default"; // the section's name in the configuration file
    std::string device;           // the service's dongle, as ParseDongleChoice reads it
    int port = 9001; // the service's relay port; the window keeps its own in its configuration file
    core::AccessOptions access;
    core::TlsOptions tls;
    std::string nats; // the --nats text; outputs.nats holds it split
    publish::OutputOptions outputs;
    // The recording on the box: its directory (empty: none), a new file at a size or a time, a budget.
    std::string record;
    std::string recordFileSize = "1G";
    std::string recordFileTime; // empty: none
    std::string recordKeep;     // empty: no limit
};

struct Values : DongleOptions {
    bool list = false;
    std::string status;          // ADDRESS:PORT of the service's status page
    std::string statusTokenFile; // holds the bearer token that admits a scrape of the HTTPS status page
    // A recording served as the dongle, instead of one.
    std::string replay;
    double replayRate = 0; // transfers a second; 0: the recording's own
    bool replayLoop = false;
    // The service's dongles: the one of the command line and the file's top level (named "default"),
    // when it has a device, then those of the file's [dongle.NAME] sections, in the file's order.
    std::vector<DongleOptions> dongles;
};

// Adds every option the program takes to app, each bound to its member of values.
void Define(CLI::App& app, Program program, Values& values);

// The keys a [dongle.NAME] section of the service's configuration file may hold.
const std::vector<std::string>& DongleKeys();

// Parses a command line (arguments[0] is the program's name) with the options of program. Nothing when
// the program is to end here: output is then what to print (help, the version, or an error naming the
// option and pointing to --help) and exitCode the status to end with (0, or 2 for a usage error).
// Qt's own options (-platform NAME and the like), which the window hands on to Qt, are passed over.
std::optional<Values> Parse(const std::vector<std::string>& arguments, Program program, std::string& output,
                            int& exitCode);

// The window system's own options, which its application object takes from the same command line.
// Each item says how many arguments it takes in all: 1, or 2 for one with a value.
std::size_t QtOptionLength(const std::vector<std::string>& arguments, std::size_t at);

// Reads "ADDRESS:PORT", "[IPV6]:PORT" or a lone port (then on loopback). Empty error when good.
std::string ParseStatusAddress(const std::string& text, std::string& address, int& port);

} // namespace kestavo::options
