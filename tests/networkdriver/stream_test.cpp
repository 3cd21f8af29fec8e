#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "networkdriver/client_stream.h"
#include "networkdriver/pacing.h"
#include "networkdriver/shared_log.h"

namespace kestavo::test {
namespace {

using networkdriver::ClientStream;
using networkdriver::Pacing;
using networkdriver::Piece;
using networkdriver::SharedLog;

std::vector<unsigned char> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

// The log's oldest needed position, for one reader.
struct OneReader {
    const ClientStream* stream;
    const SharedLog* log;
    std::uint64_t operator()() const { return stream->Member() ? stream->From() : log->Head(); }
};

void AppendToLog(SharedLog& log, const ClientStream& reader, const std::vector<unsigned char>& frame) {
    log.Append(frame.data(), frame.size(), OneReader{&reader, &log});
}

void AppendOwn(SharedLog& log, ClientStream& stream, const std::vector<unsigned char>& frame) {
    Piece fresh;
    if (!stream.AppendOwn(log, frame.data(), frame.size(), fresh)) {
        fresh.capacity = std::max(frame.size(), networkdriver::kOwnPiece);
        fresh.own = std::make_unique<unsigned char[]>(fresh.capacity);
        std::copy(frame.begin(), frame.end(), fresh.own.get());
        fresh.size = frame.size();
        ASSERT_TRUE(stream.AppendOwn(log, frame.data(), frame.size(), fresh));
    }
}

// Writes what the stream gathers, at most `most` bytes a write, until it is empty.
std::vector<unsigned char> Drain(const SharedLog& log, ClientStream& stream, std::size_t most) {
    std::vector<unsigned char> written;
    for (int writes = 0; writes < 100000; ++writes) {
        std::array<iovec, networkdriver::kMostGathered> gathered{};
        int count = 0;
        std::vector<std::shared_ptr<networkdriver::Block>> holding;
        const std::size_t total = stream.Gather(log, gathered.data(), count, holding);
        if (total == 0) {
            break;
        }
        std::size_t took = 0;
        for (int i = 0; i < count && took < most; ++i) {
            const std::size_t part = std::min(gathered[i].iov_len, most - took);
            const auto* base = static_cast<const unsigned char*>(gathered[i].iov_base);
            written.insert(written.end(), base, base + part);
            took += part;
        }
        std::vector<Piece> spent;
        stream.Consume(took, spent);
    }
    return written;
}

// However its own bytes and the log's frames interleave, and in whatever sizes they are written out,
// a client gets every frame whole and in call order; a frame larger than a block of the log too.
TEST(ClientStream, GetsOwnBytesAndTheLogInCallOrder) {
    for (const std::size_t most : {std::size_t{5}, std::size_t{4097}, std::size_t{1} << 20}) {
        SharedLog log;
        ClientStream stream;
        std::vector<unsigned char> expected;
        const auto own = [&](const std::string& text) {
            AppendOwn(log, stream, Bytes(text));
            expected.insert(expected.end(), text.begin(), text.end());
        };
        const auto shared = [&](const std::vector<unsigned char>& frame, bool taken) {
            AppendToLog(log, stream, frame);
            if (taken) {
                expected.insert(expected.end(), frame.begin(), frame.end());
            }
        };
        shared(Bytes("before-joining"), false);
        own("config;");
        stream.Join(log);
        shared(Bytes("s1;"), true);
        own("config2;");
        shared(Bytes("s2;"), true);
        std::vector<unsigned char> large(200'000);
        for (std::size_t i = 0; i < large.size(); ++i) {
            large[i] = static_cast<unsigned char>(i * 7);
        }
        shared(large, true); // across four blocks of the log
        stream.Leave(log);
        shared(Bytes("while-away;"), false);
        own("own-while-away;");
        stream.Join(log);
        shared(Bytes("s3;"), true);

        EXPECT_EQ(stream.FramesSent(log), 7U) << "two own, five of the log while a member";
        EXPECT_EQ(stream.Queued(log.Head()), expected.size());
        EXPECT_EQ(Drain(log, stream, most), expected) << "written " << most << " bytes at a time";
        EXPECT_EQ(stream.Queued(log.Head()), 0U);
    }
}

// The log keeps only what its reader still needs: blocks it has passed are reused, not accumulated.
TEST(SharedLog, LetsGoOfWhatEveryReaderHasPassed) {
    SharedLog log;
    ClientStream reader;
    reader.Join(log);
    const std::vector<unsigned char> frame(28, 0x5a);
    for (int i = 0; i < 100'000; ++i) { // 2.8 MB, more than forty blocks
        AppendToLog(log, reader, frame);
        if (i % 1000 == 0) {
            Drain(log, reader, std::size_t{1} << 20);
        }
    }
    EXPECT_LE(log.Blocks(), 3U);
    EXPECT_EQ(Drain(log, reader, std::size_t{1} << 20).size() % frame.size(), 0U);
}

// The rule: a sender waits only when most clients that are taking frames are far behind; one slow client
// of several, or clients that took nothing for a while, hold nobody back.
TEST(Pacing, HoldsTheSenderOnlyForMostOfTheClientsThatAreTaking) {
    const std::uint64_t head = SharedLog::kOrigin + 10'000'000;
    const std::int64_t now = 1'000'000'000'000;
    const std::int64_t recently = now - 1'000'000;    // 1 ms ago
    const std::int64_t longAgo = now - 1'000'000'000; // 1 s ago
    struct Client {
        std::uint64_t base;
        std::int64_t takenAt;
    };
    const auto pacedAt = [&](const std::vector<Client>& clients) {
        Pacing pacing(SharedLog::kOrigin);
        pacing.Look(head, now, clients, [](const Client& client) {
            return std::pair{client.base, client.takenAt};
        });
        return pacing.PacedAt();
    };
    const std::uint64_t behind = head - 1'000'000;
    const std::uint64_t near = head - 1000;

    // One slow client among several is passed over; with every client behind, the sender goes by them.
    EXPECT_EQ(pacedAt({{behind, recently}, {near, recently}, {near, recently}}), near);
    EXPECT_EQ(pacedAt({{behind, recently}, {behind, recently}, {behind, recently}}), behind);
    // Of 64 clients, the four furthest behind (a sixteenth) are passed over, the fifth is not.
    std::vector<Client> many(64, {near, recently});
    for (int i = 0; i < 4; ++i) {
        many[static_cast<std::size_t>(i)] = {behind - static_cast<std::uint64_t>(i), recently};
    }
    EXPECT_EQ(pacedAt(many), near);
    many[4] = {behind - 10, recently};
    EXPECT_EQ(pacedAt(many), behind) << "the fifth furthest behind";
    // Clients that took nothing lately are not waited for; with none taking, nothing holds the sender.
    EXPECT_EQ(pacedAt({{behind, longAgo}, {behind, longAgo}, {near, recently}}), near);
    EXPECT_EQ(pacedAt({{behind, longAgo}}), head);
    // A client with nothing queued is taking, however long ago it last wrote.
    EXPECT_EQ(pacedAt({{head, longAgo}}), head);

    // Past the limit the sender is told to wait, until they are half as far behind.
    Pacing pacing(SharedLog::kOrigin);
    const auto look = [&](std::uint64_t base) {
        pacing.Look(head, now, std::vector<Client>{{base, recently}}, [](const Client& client) {
            return std::pair{client.base, client.takenAt};
        });
    };
    look(head - networkdriver::kAheadLimit);
    pacing.Appended(head);
    EXPECT_FALSE(pacing.SenderToWait());
    look(head - networkdriver::kAheadLimit - 1);
    pacing.Appended(head);
    EXPECT_TRUE(pacing.SenderToWait());
    pacing.Heard();
    look(head - networkdriver::kAheadLimit / 2 - 1);
    EXPECT_FALSE(pacing.Reached());
    look(head - networkdriver::kAheadLimit / 2);
    EXPECT_TRUE(pacing.Reached());
}

} // namespace
} // namespace kestavo::test
