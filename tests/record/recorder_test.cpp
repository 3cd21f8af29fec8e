#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/mount.h>
#include <vector>

#include <gtest/gtest.h>

#include "record/recorder.h"
#include "record/replay.h"
#include "record/sigmf_text.h"
#include "temp_dir.h"
#include "tests/kit/wait.h"

namespace kestavo::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// What a recorder said, for the test to look at.
struct Lines {
    std::mutex mutex;
    std::vector<std::string> lines;
    record::LogFn Log() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        };
    }
    std::size_t Count(const std::string& start) {
        std::lock_guard lock(mutex);
        return static_cast<std::size_t>(std::count_if(
            lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(start, 0) == 0; }));
    }
};

frames::SamplePacket Numbered(std::uint32_t n) {
    frames::SamplePacket packet;
    packet.samples[0] = static_cast<std::uint16_t>(n);
    packet.samples[1] = static_cast<std::uint16_t>(n >> 16);
    packet.samples[2] = 7;
    return packet;
}

// The recordings in the directory, oldest first: each its metadata and its samples' first values.
struct Taken {
    std::string base;
    nlohmann::json meta;
    std::vector<std::uint32_t> numbers;
};
std::vector<Taken> Recordings(const fs::path& directory) {
    std::vector<std::string> bases;
    for (const auto& entry : fs::directory_iterator(directory)) {
        if (entry.path().extension() == ".sigmf-data") {
            bases.push_back((entry.path().parent_path() / entry.path().stem()).string());
        }
    }
    std::sort(bases.begin(), bases.end());
    std::vector<Taken> taken;
    for (const std::string& base : bases) {
        Taken one{base, nlohmann::json::parse(std::ifstream(base + ".sigmf-meta")), {}};
        std::ifstream data(base + ".sigmf-data", std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(data), {}};
        for (std::size_t at = 0; at + 6 <= bytes.size(); at += 6) {
            one.numbers.push_back(static_cast<std::uint32_t>(bytes[at] | bytes[at + 1] << 8 |
                                                             bytes[at + 2] << 16 | bytes[at + 3] << 24));
        }
        taken.push_back(std::move(one));
    }
    return taken;
}

record::Recorder::Settings In(const fs::path& directory) {
    record::Recorder::Settings settings;
    settings.directory = directory.string();
    settings.name = "roof";
    settings.label = "04d2:162e";
    settings.recorder = "test";
    settings.metaEvery = 100ms;
    settings.retryEvery = 200ms;
    return settings;
}

// Offers n samples numbered from first, a millisecond apart from start (steady ns); given an opening, as
// that opening's transfers from `transfer` on.
void Offer(record::Recorder& recorder, std::uint32_t first, std::uint32_t n, std::int64_t start,
           std::uint32_t opening = 0, std::uint64_t transfer = 0) {
    for (std::uint32_t i = 0; i < n; ++i) {
        const auto packet = Numbered(first + i);
        const std::int64_t time = start + static_cast<std::int64_t>(i) * 1'000'000;
        if (opening == 0) {
            recorder.Offer(packet, time);
        } else {
            recorder.Offer(frames::StampedSample{
                time, {packet.samples[0], packet.samples[1], packet.samples[2]}, transfer + i, opening});
        }
    }
}

TEST(Recorder, WritesValidSigmfANewFileBySizeOrTimeAndKeepsWithinTheBudget) {
    TempDir dir;
    Lines lines;
    {
        auto settings = In(dir.Path());
        settings.fileBytes = 600;  // 100 samples
        settings.keepBytes = 3500; // three recordings, and not four
        record::Recorder recorder(settings, lines.Log());
        const std::int64_t start = frames::SteadyNowNs();
        for (std::uint32_t chunk = 0; chunk < 10; ++chunk) {
            Offer(recorder, chunk * 50, 50, start + chunk * 50'000'000LL);
            std::this_thread::sleep_for(5ms); // the ring is the recorder's to drain
        }
    }
    // Five made, the oldest deleted while they held more than the budget: what is left is the newest,
    // within the budget but for what the one being made took after it was begun.
    const std::vector<Taken> taken = Recordings(dir.Path());
    ASSERT_GE(taken.size(), 2U);
    ASSERT_LT(taken.size(), 5U);
    EXPECT_EQ(lines.Count("Recording deleted to keep within"), 5 - taken.size());
    std::uintmax_t total = 0;
    for (const auto& entry : fs::directory_iterator(dir.Path())) {
        total += entry.file_size();
    }
    EXPECT_LE(total, 3500U + 600U);
    std::uint32_t next = static_cast<std::uint32_t>(5 - taken.size()) * 100;
    for (const Taken& one : taken) {
        ASSERT_EQ(one.numbers.size(), 100U) << one.base;
        for (const std::uint32_t number : one.numbers) {
            EXPECT_EQ(number, next++);
        }
        const auto& global = one.meta["global"];
        EXPECT_EQ(global["core:datatype"], "ru16_le");
        EXPECT_EQ(global["core:num_channels"], 3);
        EXPECT_EQ(global["core:hw"], "04d2:162e");
        EXPECT_NEAR(global["core:sample_rate"].get<double>(), 1000, 1) << "a sample a millisecond";
        ASSERT_EQ(one.meta["captures"].size(), 1U);
        EXPECT_EQ(one.meta["captures"][0]["core:sample_start"], 0);
        EXPECT_TRUE(fs::path(one.base).filename().string().starts_with("roof-2")) << one.base;
    }

    // By time: a second of samples a file, whichever comes first.
    TempDir byTime;
    {
        auto settings = In(byTime.Path());
        settings.fileSeconds = 1;
        record::Recorder recorder(settings, lines.Log());
        Offer(recorder, 0, 2500, frames::SteadyNowNs());
    }
    const std::vector<Taken> timed = Recordings(byTime.Path());
    ASSERT_EQ(timed.size(), 3U);
    EXPECT_EQ(timed[0].numbers.size(), 1000U);
    EXPECT_EQ(timed[2].numbers.size(), 500U);
}

// Each capture also names its first transfer, as the outputs number them: one at each opening, and one
// after the samples the recorder dropped.
TEST(Recorder, EachGapIsAnnotatedAndFollowedByACaptureThatNamesItsFirstTransfer) {
    TempDir dir;
    Lines lines;
    const std::int64_t start = frames::SteadyNowNs();
    {
        auto settings = In(dir.Path());
        settings.ringSamples = 1024;
        record::Recorder recorder(settings, lines.Log());
        Offer(recorder, 0, 100, start, 1, 0);
        ASSERT_TRUE(testkit::WaitUntil([&] { return recorder.Take().bytesWritten == 600; }));
        recorder.DongleOpen(false);
        recorder.DongleOpen(true);
        Offer(recorder, 100, 100, start + 2'000'000'000LL, 2, 0);
        ASSERT_TRUE(testkit::WaitUntil([&] { return recorder.Take().bytesWritten == 1200; }));
        // Many more at once than the ring holds: the recorder cannot keep them all.
        Offer(recorder, 200, 5000, start + 3'000'000'000LL, 2, 100);
        ASSERT_TRUE(testkit::WaitUntil([&] {
            const auto status = recorder.Take();
            return status.bytesWritten / 6 + status.samplesDropped == 5200;
        }));
        EXPECT_GT(recorder.Take().samplesDropped, 0U);
    }
    const std::vector<Taken> taken = Recordings(dir.Path());
    ASSERT_EQ(taken.size(), 1U);
    const auto& annotations = taken[0].meta["annotations"];
    ASSERT_GE(annotations.size(), 3U) << taken[0].meta.dump(2);
    EXPECT_EQ(annotations[0]["core:comment"], "dongle lost");
    EXPECT_EQ(annotations[0]["core:sample_start"], 100);
    EXPECT_EQ(annotations[1]["core:comment"], "dongle back");
    EXPECT_TRUE(annotations.back()["core:comment"].get<std::string>().starts_with("recording dropped"));
    const auto& captures = taken[0].meta["captures"];
    ASSERT_GE(captures.size(), 3U) << taken[0].meta.dump(2);
    EXPECT_EQ(captures[1]["core:sample_start"], 100) << "a capture where the samples begin again";
    const auto before = record::ParseSigmfDatetime(captures[0]["core:datetime"].get<std::string>());
    const auto after = record::ParseSigmfDatetime(captures[1]["core:datetime"].get<std::string>());
    ASSERT_TRUE(before && after);
    EXPECT_NEAR(static_cast<double>(*after - *before) / 1e9, 2.0, 0.001) << "when they began again";
    EXPECT_EQ(captures[0]["kestavo:opening"], 1);
    EXPECT_EQ(captures[0]["kestavo:transfer"], 0);
    EXPECT_EQ(captures[1]["kestavo:opening"], 2);
    EXPECT_EQ(captures[1]["kestavo:transfer"], 0);
    for (std::size_t i = 2; i < captures.size(); ++i) {
        // The samples say their own number: the capture's first is transfer 100 of the second opening
        // for sample 200.
        const auto start = captures[i]["core:sample_start"].get<std::size_t>();
        EXPECT_EQ(captures[i]["kestavo:transfer"].get<std::uint64_t>(), taken[0].numbers.at(start) - 100)
            << i;
    }
    EXPECT_EQ(taken[0].meta["global"]["core:extensions"][0]["name"], "kestavo");

    // What is recorded is read back as a recording, its gaps kept.
    std::string error;
    const auto recording = record::OpenRecording(taken[0].base + ".sigmf-meta", error);
    ASSERT_TRUE(recording) << error;
    EXPECT_EQ(recording->samples, taken[0].numbers.size());
    EXPECT_EQ(recording->captures.size(), captures.size());
}

TEST(Recorder, AFullDiskStopsItWithOneLineAndItResumesInANewFileOnceThereIsRoom) {
    TempDir dir;
    const fs::path disk = dir / "disk";
    fs::create_directories(disk);
    if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=256k") != 0) {
        GTEST_SKIP() << "a small file system cannot be mounted here (not root?)";
    }
    Lines lines;
    {
        auto settings = In(disk);
        record::Recorder recorder(settings, lines.Log());
        const std::int64_t start = frames::SteadyNowNs();
        std::uint32_t offered = 0;
        ASSERT_TRUE(testkit::WaitUntil([&] {
            Offer(recorder, offered, 2000, start + offered * 1'000'000LL);
            offered += 2000;
            return recorder.Take().state == "waiting";
        }));
        EXPECT_NE(recorder.Take().problem.find("No space left on device"), std::string::npos)
            << recorder.Take().problem;
        // Samples go on arriving through several retries while the disk stays full.
        for (const auto until = std::chrono::steady_clock::now() + 4 * settings.retryEvery;
             std::chrono::steady_clock::now() < until;) {
            Offer(recorder, offered, 100, start + offered * 1'000'000LL);
            offered += 100;
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_EQ(lines.Count("Recording stopped: "), 1U) << "one line, however long it lasts";
        EXPECT_EQ(lines.Count("Recording again in "), 0U) << "no new recording where there is no room";

        // What reached the disk before it filled is kept, whole samples its metadata describes.
        const std::vector<Taken> full = Recordings(disk);
        ASSERT_EQ(full.size(), 1U);
        EXPECT_EQ(fs::file_size(full[0].base + ".sigmf-data"), full[0].numbers.size() * 6);
        EXPECT_GT(full[0].numbers.size() * 6, 256U * 1024 - 2 * 64 * 1024)
            << "more than the blocks written whole";
        std::string error;
        const auto recording = record::OpenRecording(full[0].base + ".sigmf-meta", error);
        ASSERT_TRUE(recording) << error;
        EXPECT_EQ(recording->samples, full[0].numbers.size());

        // Room again: the next recording begins within the retry.
        for (const auto& entry : fs::directory_iterator(disk)) {
            fs::remove(entry.path());
        }
        ASSERT_TRUE(testkit::WaitUntil([&] {
            Offer(recorder, offered, 100, frames::SteadyNowNs());
            offered += 100;
            return recorder.Take().state == "recording";
        }));
        EXPECT_EQ(lines.Count("Recording again in "), 1U);
        EXPECT_GT(recorder.Take().samplesDropped, 0U);
        EXPECT_EQ(recorder.Take().recordings, 2U);
    }
    const std::vector<Taken> taken = Recordings(disk);
    EXPECT_EQ(taken.size(), 1U);
    ::umount(disk.c_str());
}

TEST(Recorder, ATornLastSampleIsCutWhenItStartsAgain) {
    TempDir dir;
    std::ofstream(dir / "roof-20261208T153000Z.sigmf-data", std::ios::binary) << std::string(6 * 5 + 4, 'x');
    std::ofstream(dir / "mast-20261208T153000Z.sigmf-data", std::ios::binary) << std::string(6 * 5 + 4, 'x');
    Lines lines;
    { record::Recorder recorder(In(dir.Path()), lines.Log()); }
    EXPECT_EQ(fs::file_size(dir / "roof-20261208T153000Z.sigmf-data"), 30U);
    EXPECT_EQ(fs::file_size(dir / "mast-20261208T153000Z.sigmf-data"), 34U)
        << "another dongle's is left alone";
    EXPECT_EQ(lines.Count("Recording "), 1U);
}

TEST(Recording, AnythingButThreeChannelsOfRu16IsRefusedSayingWhy) {
    TempDir dir;
    const auto meta = [&](const std::string& name, const std::string& text, std::size_t dataBytes) {
        std::ofstream(dir / (name + ".sigmf-meta")) << text;
        std::ofstream(dir / (name + ".sigmf-data"), std::ios::binary) << std::string(dataBytes, '\0');
        return (dir / (name + ".sigmf-meta")).string();
    };
    const std::string good = R"("core:datatype": "ru16_le", "core:num_channels": 3)";
    const struct {
        std::string path;
        std::string why;
    } cases[] = {
        {meta("json", "not json", 6), "not SigMF metadata"},
        {meta("type", R"({"global": {"core:datatype": "cf32_le", "core:num_channels": 3}})", 6), "cf32_le"},
        {meta("channels", R"({"global": {"core:datatype": "ru16_le", "core:num_channels": 2}})", 6),
         "3 channels"},
        {meta("short", "{\"global\": {" + good + "}, \"captures\": [{\"core:sample_start\": 10}]}", 6 * 9),
         "holds 9 samples, and its metadata speaks of 10"},
        {meta("rate", "{\"global\": {" + good + ", \"core:sample_rate\": -1}}", 6), "not a rate"},
        {(dir / "missing.sigmf-meta").string(), "No such file"},
        {(dir / "elsewhere.txt").string(), "not a SigMF recording"},
    };
    for (const auto& bad : cases) {
        std::string error;
        EXPECT_FALSE(record::OpenRecording(bad.path, error)) << bad.path;
        EXPECT_NE(error.find(bad.why), std::string::npos) << error;
    }
    std::string error;
    const auto recording =
        record::OpenRecording(meta("fine", "{\"global\": {" + good + "}}", 6 * 4 + 2), error);
    ASSERT_TRUE(recording) << error;
    EXPECT_EQ(recording->samples, 4U) << "whole samples only";
    EXPECT_EQ(recording->sampleRate, 0);
}

// A replay keeps the recording's rate and its gaps: a capture that began a second after the samples
// before it would have ended is a second's pause.
TEST(Replay, KeepsTheRateAndTheGapsBetweenCapturesAndLoopsWhenAsked) {
    TempDir dir;
    std::ofstream(dir / "gap.sigmf-meta")
        << R"({"global": {"core:datatype": "ru16_le", "core:num_channels": 3, "core:sample_rate": 100},)"
        << R"( "captures": [{"core:sample_start": 0, "core:datetime": "2026-12-08T15:30:00.000Z"},)"
        << R"( {"core:sample_start": 10, "core:datetime": "2026-12-08T15:30:00.600Z"}]})";
    std::string samples;
    for (int i = 0; i < 20; ++i) {
        samples += std::string{static_cast<char>(i), 0, 0, 0, 0, 0};
    }
    std::ofstream(dir / "gap.sigmf-data", std::ios::binary) << samples;
    std::string error;
    auto recording = record::OpenRecording((dir / "gap.sigmf-meta").string(), error);
    ASSERT_TRUE(recording) << error;
    std::mutex mutex;
    std::vector<std::pair<std::uint16_t, std::int64_t>> delivered;
    const auto deliver = [&](const frames::SamplePacket& packet) {
        std::lock_guard lock(mutex);
        delivered.emplace_back(packet.samples[0], frames::SteadyNowNs());
    };
    {
        record::Replay replay(*recording, 100, false, deliver);
        ASSERT_TRUE(testkit::WaitUntil([&] { return replay.Ended(); }));
        EXPECT_EQ(replay.Delivered(), 20U);
    }
    ASSERT_EQ(delivered.size(), 20U);
    for (std::size_t i = 0; i < delivered.size(); ++i) {
        EXPECT_EQ(delivered[i].first, i) << "in order";
    }
    const auto seconds = [&](std::size_t from, std::size_t to) {
        return static_cast<double>(delivered[to].second - delivered[from].second) / 1e9;
    };
    // On a schedule of its own: a late delivery is made up for by the next, never carried on.
    EXPECT_NEAR(seconds(0, 19), 0.19 + 0.5, 0.05) << "100 a second, and a pause of half a second";
    EXPECT_GT(seconds(9, 10), 0.45) << "the capture began 0.5 s after the samples before it ended";
    EXPECT_LT(seconds(0, 9), 0.2);

    // Looping: from the start again, until stopped.
    delivered.clear();
    {
        record::Replay replay(*recording, 1000, true, deliver);
        ASSERT_TRUE(testkit::WaitUntil([&] { return replay.Delivered() > 45; }));
        EXPECT_FALSE(replay.Ended());
    }
    std::lock_guard lock(mutex);
    EXPECT_EQ(delivered[20].first, 0U);
    EXPECT_EQ(delivered[40].first, 0U);
}

TEST(Sizes, AreBytesWithKMGAndDurationsHoursMinutesSeconds) {
    std::uint64_t value = 0;
    EXPECT_TRUE(record::ParseSize("1G", value));
    EXPECT_EQ(value, 1ULL << 30);
    EXPECT_TRUE(record::ParseSize("64K", value));
    EXPECT_EQ(value, 65536U);
    EXPECT_TRUE(record::ParseSize("123", value));
    EXPECT_EQ(value, 123U);
    for (const char* bad : {"", "G", "1Q", "-1", "1.5G", "99999999999999999999G"}) {
        EXPECT_FALSE(record::ParseSize(bad, value)) << bad;
    }
    EXPECT_TRUE(record::ParseDuration("1h30m", value));
    EXPECT_EQ(value, 5400U);
    EXPECT_TRUE(record::ParseDuration("10m", value));
    EXPECT_EQ(value, 600U);
    for (const char* bad : {"", "h", "10", "1d", "5m1h"}) {
        EXPECT_FALSE(record::ParseDuration(bad, value)) << bad;
    }
}

} // namespace
} // namespace kestavo::test
