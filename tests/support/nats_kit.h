#pragma once

// A NATS server of Debian's package started on loopback, and a subscriber of its own connection: what
// the tests of the outputs and of the service share.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <nats/nats.h>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "frames/frame_decoder.h"
#include "tests/kit/child_process.h"

namespace kestavo::test {

using namespace std::chrono_literals;

class NatsServer {
public:
    explicit NatsServer(int port, std::vector<std::string> extra = {})
        : port_(port), process_(KESTAVO_NATS_SERVER, Arguments(port, std::move(extra)), {}) {}

    bool Ready() { return process_.WaitFor("Server is ready"); }
    [[nodiscard]] std::string Url() const { return "nats://127.0.0.1:" + std::to_string(port_); }

private:
    static std::vector<std::string> Arguments(int port, std::vector<std::string> extra) {
        std::vector<std::string> arguments{"-a", "127.0.0.1", "-p", std::to_string(port)};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return arguments;
    }

    int port_;
    testkit::ChildProcess process_;
};

// A subscriber of its own connection, which connects again quickly when its server goes.
class Subscriber {
public:
    Subscriber(const std::string& url, const std::string& subject) {
        natsOptions* options = nullptr;
        natsOptions_Create(&options);
        natsOptions_SetURL(options, url.c_str());
        natsOptions_SetMaxReconnect(options, -1);
        natsOptions_SetReconnectWait(options, 100);
        ok_ = natsConnection_Connect(&connection_, options) == NATS_OK &&
              natsConnection_SubscribeSync(&subscription_, connection_, subject.c_str()) == NATS_OK &&
              natsSubscription_SetPendingLimits(subscription_, -1, -1) == NATS_OK &&
              natsConnection_Flush(connection_) == NATS_OK;
        natsOptions_Destroy(options);
    }
    ~Subscriber() {
        natsSubscription_Destroy(subscription_);
        natsConnection_Destroy(connection_);
    }

    [[nodiscard]] bool Ok() const { return ok_; }

    // Connected again after its server went, with its subscription in place there.
    bool Back() {
        return natsConnection_Status(connection_) == NATS_CONN_STATUS_CONNECTED &&
               natsConnection_FlushTimeout(connection_, 1000) == NATS_OK;
    }

    struct Message {
        std::string subject;
        std::vector<std::uint8_t> data;
        std::map<std::string, std::string> headers;
    };
    // The next message on the subject, within the limit.
    std::optional<Message> NextMessage(std::chrono::milliseconds limit = 10s) {
        natsMsg* message = nullptr;
        if (natsSubscription_NextMsg(&message, subscription_, limit.count()) != NATS_OK) {
            return std::nullopt;
        }
        const auto* data = reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(message));
        Message result{natsMsg_GetSubject(message),
                       std::vector<std::uint8_t>(data, data + natsMsg_GetDataLength(message)),
                       {}};
        const char** keys = nullptr;
        int count = 0;
        if (natsMsgHeader_Keys(message, &keys, &count) == NATS_OK) {
            for (int i = 0; i < count; ++i) {
                const char* value = nullptr;
                if (natsMsgHeader_Get(message, keys[i], &value) == NATS_OK) {
                    result.headers[keys[i]] = value;
                }
            }
            std::free(static_cast<void*>(keys));
        }
        natsMsg_Destroy(message);
        return result;
    }
    // The same, as its subject and payload.
    std::optional<std::pair<std::string, std::vector<std::uint8_t>>>
    Next(std::chrono::milliseconds limit = 10s) {
        auto message = NextMessage(limit);
        if (!message) {
            return std::nullopt;
        }
        return std::make_pair(std::move(message->subject), std::move(message->data));
    }

    // Reads sample frames until one numbered `last` came; the numbers of all, in order of arrival.
    std::vector<std::uint32_t> NumbersUntil(std::uint32_t last) {
        std::vector<std::uint32_t> numbers;
        frames::FrameDecoder decoder;
        while (numbers.empty() || numbers.back() != last) {
            const auto message = Next();
            if (!message) {
                break;
            }
            if (message->first.ends_with(".samples")) {
                decoder.FeedEach(message->second.data(), message->second.size(),
                                 [&](const frames::FrameView& frame) {
                                     numbers.push_back(frame.Sample(0) |
                                                       (static_cast<std::uint32_t>(frame.Sample(1)) << 16));
                                 });
            }
        }
        return numbers;
    }

private:
    bool ok_ = false;
    natsConnection* connection_ = nullptr;
    natsSubscription* subscription_ = nullptr;
};

} // namespace kestavo::test
