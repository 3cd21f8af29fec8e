#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "publish/output.h"

struct __natsConnection;
struct __natsOptions;

namespace kestavo::publish {

// Publishes every sample frame to a NATS subject, as the relay sends it (28 bytes, several frames one
// after the other in a message when they gathered), and the configuration frame on another subject each
// time a connection to a server is made. The client library connects again by itself, holding what is
// published meanwhile in a buffer of bufferBytes; what does not fit there is dropped and counted.
//
// Each message of samples carries headers that say which transfers it holds, so that a subscriber can
// tell what it missed: their names below, their meaning in PROTOCOL.md.
class NatsOutput : public Output {
public:
    static constexpr const char* kSeqHeader = "Kestavo-Seq";
    static constexpr const char* kCountHeader = "Kestavo-Count";
    static constexpr const char* kTimeHeader = "Kestavo-Time";
    static constexpr const char* kOpenHeader = "Kestavo-Open";
    static constexpr const char* kDroppedHeader = "Kestavo-Dropped";

    struct Settings {
        std::vector<std::string> servers; // nats://host:port URLs, tried in turn
        std::string samplesSubject;
        std::string configurationSubject;
        int bufferBytes = 8 << 20;
        std::size_t largestBatch = 64; // frames in one message
    };

    NatsOutput(Settings settings, LogFn log);
    ~NatsOutput() override;

    // The error of the first attempt, if it could not even begin (a malformed URL); empty otherwise.
    [[nodiscard]] const std::string& Error() const { return error_; }

protected:
    std::size_t Send(const Batch& batch) override;
    void BeforeBatch() override;

private:
    static void OnConnected(__natsConnection* connection, void* closure);
    static void OnDisconnected(__natsConnection* connection, void* closure);
    static void OnReconnected(__natsConnection* connection, void* closure);
    void Announce(__natsConnection* connection, const char* how);

    Settings settings_;
    LogFn log_;
    std::string error_;
    std::uintptr_t id_ = 0; // how the library's callbacks name this output
    __natsOptions* options_ = nullptr;
    __natsConnection* connection_ = nullptr;
    std::atomic<bool> announce_{false};
    std::atomic<bool> refusing_{false}; // the last publish was refused: said once until one is taken
    std::vector<std::uint8_t> message_;
};

} // namespace kestavo::publish
