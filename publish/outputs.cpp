#include "publish/outputs.h"

#include <cctype>
#include <cstdio>

#include "publish/nats_output.h"
#include "publish/zmq_output.h"

namespace kestavo::publish {
namespace {

bool SubjectCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_';
}

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) {
            return parts;
        }
        start = comma + 1;
    }
}

} // namespace

std::vector<std::string> SplitNatsServers(const std::string& text) {
    std::vector<std::string> servers;
    for (const std::string& part : Split(text)) {
        servers.push_back(part.find("://") == std::string::npos ? "nats://" + part : part);
    }
    return servers;
}

std::string CheckNatsServers(const std::string& text) {
    for (const std::string& server : SplitNatsServers(text)) {
        const std::size_t scheme = server.find("://");
        const std::string rest = server.substr(scheme + 3);
        if (server.compare(0, scheme, "nats") != 0 && server.compare(0, scheme, "tls") != 0) {
            return "'" + server + "' is not a NATS server's URL (nats://HOST:PORT)";
        }
        if (rest.empty() || rest.find_first_of(" \t,") != std::string::npos) {
            return "'" + server + "' names no host";
        }
    }
    return {};
}

std::string CheckNatsSubject(const std::string& text) {
    bool tokenStart = true;
    for (const char c : text) {
        if (c == '.' && !tokenStart) {
            tokenStart = true;
        } else if (SubjectCharacter(c)) {
            tokenStart = false;
        } else {
            return "'" + text + "' is not a subject (tokens of letters, digits, '-' and '_' between dots)";
        }
    }
    if (text.empty() || tokenStart) {
        return "'" + text + "' is not a subject (tokens of letters, digits, '-' and '_' between dots)";
    }
    return {};
}

std::string CheckZmqEndpoint(const std::string& text) {
    for (const char* scheme : {"tcp://", "ipc://", "inproc://"}) {
        const std::string prefix = scheme;
        if (text.size() > prefix.size() && text.compare(0, prefix.size(), prefix) == 0) {
            return {};
        }
    }
    return "'" + text + "' is not a ZeroMQ endpoint (tcp://ADDRESS:PORT, ipc://PATH)";
}

std::string SubjectBase(const std::string& serial, std::uint16_t vendor, std::uint16_t product) {
    std::string token = serial;
    if (token.empty()) {
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04X_%04X", vendor, product);
        token = ids;
    }
    for (char& c : token) {
        if (!SubjectCharacter(c)) {
            c = '_';
        }
    }
    return "kestavo." + token;
}

Outputs::Outputs(const OutputOptions& options, const std::string& subjectBase, LogFn log) {
    if (!options.nats.empty()) {
        NatsOutput::Settings settings;
        settings.servers = options.nats;
        const std::string base = options.natsSubject.empty() ? subjectBase : options.natsSubject;
        settings.samplesSubject = base + ".samples";
        settings.configurationSubject = base + ".config";
        settings.largestBatch = options.largestBatch;
        nats_ = std::make_unique<NatsOutput>(settings, log);
        if (!nats_->Error().empty()) {
            error_ = nats_->Error();
            nats_.reset(); // an output that could not start is not offered samples
        }
    }
    if (!options.zmq.empty()) {
        ZmqOutput::Settings settings;
        settings.endpoint = options.zmq;
        settings.header = options.zmqHeader;
        settings.largestBatch = options.largestBatch;
        zmq_ = std::make_unique<ZmqOutput>(settings, log);
        if (!zmq_->Error().empty()) {
            error_ = zmq_->Error();
            zmq_.reset();
        }
    }
}

Outputs::~Outputs() = default;

void Outputs::Offer(const frames::StampedSample& sample) {
    if (nats_) {
        nats_->Offer(sample);
    }
    if (zmq_) {
        zmq_->Offer(sample);
    }
}

std::vector<Outputs::Count> Outputs::Counts() const {
    std::vector<Count> counts;
    if (nats_) {
        counts.push_back({"nats", nats_->Sent(), nats_->Dropped(), nats_->LastSent()});
    }
    if (zmq_) {
        counts.push_back({"zmq", zmq_->Sent(), zmq_->Dropped(), zmq_->LastSent()});
    }
    return counts;
}

std::string Outputs::Summary() const {
    std::string text;
    const auto add = [&](const char* name, const Output* output) {
        if (output == nullptr) {
            return;
        }
        text += std::string(text.empty() ? "" : "; ") + name + " " + std::to_string(output->Sent()) +
                " published, " + std::to_string(output->Dropped()) + " dropped";
    };
    add("NATS", nats_.get());
    add("ZeroMQ", zmq_.get());
    return text;
}

} // namespace kestavo::publish
