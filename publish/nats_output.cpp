#include "publish/nats_output.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <nats/nats.h>
#include <utility>

namespace kestavo::publish {
namespace {

// The library calls a connection's callbacks on a thread of its own, possibly after the connection was
// destroyed; they name their output by a number looked up here, so that one that is gone is not used.
std::mutex g_outputsMutex;
std::map<std::uintptr_t, NatsOutput*> g_outputs;
std::uintptr_t g_lastOutput = 0;

template <typename Action> void WithOutput(void* closure, Action&& action) {
    std::lock_guard lock(g_outputsMutex);
    const auto found = g_outputs.find(reinterpret_cast<std::uintptr_t>(closure));
    if (found != g_outputs.end()) {
        action(*found->second);
    }
}

} // namespace

NatsOutput::NatsOutput(Settings settings, LogFn log)
    : Output("kestavo-nats", 1 << 16, settings.largestBatch), settings_(std::move(settings)),
      log_(std::move(log)) {
    message_.reserve(settings_.largestBatch * frames::kSampleFrameSize);
    void* closure = nullptr;
    {
        std::lock_guard lock(g_outputsMutex);
        id_ = ++g_lastOutput;
        g_outputs[id_] = this;
        closure = reinterpret_cast<void*>(id_);
    }
    std::vector<const char*> servers;
    for (const std::string& server : settings_.servers) {
        servers.push_back(server.c_str());
    }
    natsStatus status = natsOptions_Create(&options_);
    if (status == NATS_OK) {
        status = natsOptions_SetServers(options_, servers.data(), static_cast<int>(servers.size()));
    }
    if (status == NATS_OK) {
        natsOptions_SetName(options_, "kestavo");
        natsOptions_SetMaxReconnect(options_, -1);
        natsOptions_SetReconnectWait(options_, 500);
        natsOptions_SetReconnectBufSize(options_, settings_.bufferBytes);
        natsOptions_SetDisconnectedCB(options_, OnDisconnected, closure);
        natsOptions_SetReconnectedCB(options_, OnReconnected, closure);
        // A server that is not there yet is waited for in the background, not at start.
        status = natsOptions_SetRetryOnFailedConnect(options_, true, OnConnected, closure);
    }
    if (status == NATS_OK) {
        status = natsConnection_Connect(&connection_, options_);
        if (status == NATS_OK) {
            Announce(connection_, "publishing");
        } else if (status == NATS_NOT_YET_CONNECTED) {
            log_("NATS: no server yet; publishing once one answers");
            status = NATS_OK;
        }
    }
    if (status != NATS_OK) {
        error_ = std::string("NATS: ") + natsStatus_GetText(status);
        return;
    }
    StartThread();
}

NatsOutput::~NatsOutput() {
    StopThread();
    {
        std::lock_guard lock(g_outputsMutex);
        g_outputs.erase(id_);
    }
    if (connection_ != nullptr) {
        natsConnection_FlushTimeout(connection_, 1000);
        natsConnection_Close(connection_);
        natsConnection_Destroy(connection_);
    }
    natsOptions_Destroy(options_);
}

void NatsOutput::Announce(natsConnection* connection, const char* how) {
    char url[256] = {};
    natsConnection_GetConnectedUrl(connection, url, sizeof url);
    log_(std::string("NATS: ") + how + " on " + settings_.samplesSubject + " through " + url);
    announce_.store(true);
    Wake();
}

void NatsOutput::OnConnected(natsConnection* connection, void* closure) {
    WithOutput(closure, [&](NatsOutput& output) { output.Announce(connection, "publishing"); });
}

void NatsOutput::OnReconnected(natsConnection* connection, void* closure) {
    WithOutput(closure, [&](NatsOutput& output) { output.Announce(connection, "publishing again"); });
}

void NatsOutput::OnDisconnected(natsConnection* /*connection*/, void* closure) {
    WithOutput(closure, [&](NatsOutput& output) {
        output.log_("NATS: disconnected; holding what is published until the buffer is full, then dropping");
    });
}

void NatsOutput::BeforeBatch() {
    if (announce_.exchange(false)) {
        const auto frame = frames::ConfigurationFrame();
        natsConnection_Publish(connection_, settings_.configurationSubject.c_str(), frame.data(),
                               static_cast<int>(frame.size()));
    }
}

std::size_t NatsOutput::Send(const Batch& batch) {
    message_.clear();
    for (const frames::StampedSample& sample : batch.samples) {
        frames::SamplePacket packet;
        packet.samples[0] = sample.values[0];
        packet.samples[1] = sample.values[1];
        packet.samples[2] = sample.values[2];
        const auto frame = frames::SampleFrame(packet);
        message_.insert(message_.end(), frame.begin(), frame.end());
    }
    // Which transfers these are, and when the first was read, in headers: a subscriber that ignores them
    // gets the payload it always did.
    const frames::StampedSample& first = batch.samples.front();
    natsMsg* message = nullptr;
    natsStatus status =
        natsMsg_Create(&message, settings_.samplesSubject.c_str(), nullptr,
                       reinterpret_cast<const char*>(message_.data()), static_cast<int>(message_.size()));
    const auto header = [&](const char* name, const std::string& value) {
        if (status == NATS_OK) {
            status = natsMsgHeader_Set(message, name, value.c_str());
        }
    };
    header(kSeqHeader, std::to_string(first.transfer));
    header(kCountHeader, std::to_string(batch.samples.size()));
    header(kTimeHeader, std::to_string(WallNs(first.timeNs)));
    header(kOpenHeader, std::to_string(first.opening));
    if (batch.droppedBefore > 0) {
        header(kDroppedHeader, std::to_string(batch.droppedBefore));
    }
    if (status == NATS_OK) {
        status = natsConnection_PublishMsg(connection_, message);
    }
    natsMsg_Destroy(message);
    if (status != NATS_OK) {
        if (!refusing_.exchange(true)) {
            log_(std::string("NATS: dropping samples: ") + natsStatus_GetText(status));
        }
        return 0;
    }
    if (refusing_.exchange(false)) {
        log_("NATS: publishing again");
    }
    return batch.samples.size();
}

} // namespace kestavo::publish
