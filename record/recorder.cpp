#include "record/recorder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "record/sigmf_text.h"

namespace kestavo::record {
namespace {

constexpr std::size_t kSampleBytes = 6;
// The disk is written in blocks of at least this much (or less, when the metadata is brought up to date).
constexpr std::size_t kBlock = 64 * 1024;
constexpr auto kNap = std::chrono::milliseconds(50);

std::int64_t WallNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// 20261208T153000Z, for a file's name.
std::string NameTime(std::int64_t wallNs) {
    const std::time_t seconds = static_cast<std::time_t>(wallNs / 1'000'000'000);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

// Writes all of it, or says why not (the errno) and how much of it was written all the same.
int WriteAll(int fd, const std::uint8_t* data, std::size_t size, std::size_t& done) {
    done = 0;
    while (done < size) {
        const ssize_t wrote = ::write(fd, data + done, size - done);
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return 0;
}

// Replaces the file with the text whole, or leaves the old one: written beside it, put on disk, renamed.
// Returns 0 or the errno.
int ReplaceAtomically(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return errno;
    }
    std::size_t done = 0;
    int error = WriteAll(fd, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), done);
    if (error == 0 && ::fsync(fd) != 0) {
        error = errno;
    }
    ::close(fd);
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temporary.c_str());
    }
    return error;
}

// Room left where the recordings go: bytes and files a user (not root) may still take.
struct Room {
    std::uint64_t bytes = 0;
    std::uint64_t files = 0;
};

std::optional<Room> RoomIn(const std::string& directory) {
    struct statvfs disk {};
    if (::statvfs(directory.c_str(), &disk) != 0) {
        return std::nullopt;
    }
    return Room{static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize, disk.f_favail};
}

} // namespace

// One recording as it is made.
struct Recorder::File {
    std::string base; // the path without .sigmf-data / .sigmf-meta
    int fd = -1;
    std::uint64_t samples = 0;   // in the file and in the buffer
    std::uint64_t onDisk = 0;    // written to the file
    std::uint64_t described = 0; // by the metadata on disk
    std::vector<std::uint8_t> buffer;
    std::int64_t startWallNs = 0; // its first sample's
    std::int64_t firstNs = 0;     // steady clock, its first and latest samples'
    std::int64_t lastNs = 0;
    std::int64_t metaDueNs = 0;
    nlohmann::json captures = nlohmann::json::array();
    nlohmann::json annotations = nlohmann::json::array();
};

Recorder::Recorder(Settings settings, LogFn log)
    : settings_(std::move(settings)), log_(std::move(log)), ring_(settings_.ringSamples),
      wallMinusSteadyNs_(WallNowNs() - frames::SteadyNowNs()) {
    status_.state = "recording";
    thread_ = std::thread([this] { Run(); });
}

Recorder::~Recorder() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void Recorder::DongleOpen(bool open) {
    std::lock_guard lock(mutex_);
    events_.push_back({ring_.Written(), open, WallNowNs()});
}

Recorder::Status Recorder::Take() const {
    std::lock_guard lock(mutex_);
    return status_;
}

std::int64_t Recorder::WallNs(std::int64_t steadyNs) const {
    return steadyNs + wallMinusSteadyNs_;
}

void Recorder::Run() {
    CutTornSamples();
    for (;;) {
        std::vector<Event> events;
        bool stopping = false;
        {
            std::unique_lock lock(mutex_);
            wake_.wait_for(lock, kNap, [this] { return stopping_; });
            stopping = stopping_;
            events.swap(events_);
        }
        std::size_t next = 0;
        const auto eventsUpTo = [&](std::uint64_t position) {
            for (; next < events.size() && events[next].position <= position; ++next) {
                gapPending_ = true;
                if (file_) {
                    file_->annotations.push_back(
                        {{"core:sample_start", file_->samples},
                         {"core:sample_count", 0},
                         {"core:label", "gap"},
                         {"core:comment", events[next].open ? "dongle back" : "dongle lost"}});
                }
            }
        };
        ring_.Drain([&](const frames::StampedSample& sample) {
            const std::uint64_t position = ring_.Taken();
            eventsUpTo(position);
            Take(sample, position);
        });
        // Everything before the ring's reading position has been taken or dropped; events past it wait
        // for the samples written before them.
        eventsUpTo(ring_.Taken());
        if (next < events.size()) {
            std::lock_guard lock(mutex_);
            events_.insert(events_.begin(), events.begin() + static_cast<std::ptrdiff_t>(next), events.end());
        }
        if (file_) {
            const std::int64_t now = frames::SteadyNowNs();
            if (file_->buffer.size() >= kBlock || now >= file_->metaDueNs || stopping) {
                Flush(now >= file_->metaDueNs || stopping);
            }
        }
        if (stopping) {
            End();
            std::lock_guard lock(mutex_);
            status_.state = "stopped";
            status_.file.clear();
            return;
        }
    }
}

void Recorder::Take(const frames::StampedSample& sample, std::uint64_t position) {
    if (position != nextPosition_) {
        // Overwritten in the ring before this thread could take them.
        const std::uint64_t lost = position - nextPosition_;
        {
            std::lock_guard lock(mutex_);
            status_.samplesDropped += lost;
        }
        if (file_) {
            file_->annotations.push_back(
                {{"core:sample_start", file_->samples},
                 {"core:sample_count", 0},
                 {"core:label", "gap"},
                 {"core:comment", "recording dropped " + std::to_string(lost) + " samples"}});
            gapPending_ = true;
        }
    }
    nextPosition_ = position + 1;
    // Numbers that do not run on (another opening of the dongle, however quickly it came back) begin a
    // new capture, so that a capture's transfers are numbered on from the one it names.
    if (sample.opening > 0 && lastOpening_ > 0 &&
        (sample.opening != lastOpening_ || sample.transfer != lastTransfer_ + 1)) {
        gapPending_ = true;
    }
    lastOpening_ = sample.opening;
    lastTransfer_ = sample.transfer;
    const auto drop = [this] {
        std::lock_guard lock(mutex_);
        ++status_.samplesDropped;
    };
    if (failing_ && frames::SteadyNowNs() < retryAtNs_) {
        drop();
        return;
    }
    const std::int64_t wall = WallNs(sample.timeNs);
    if (file_) {
        const bool full = file_->samples * kSampleBytes + kSampleBytes > settings_.fileBytes;
        const bool old = settings_.fileSeconds > 0 && static_cast<std::uint64_t>(wall - file_->startWallNs) >=
                                                          settings_.fileSeconds * 1'000'000'000;
        if (full || old) {
            End();
        }
    }
    if (!file_ && !Begin(wall)) {
        drop();
        return;
    }
    File& file = *file_;
    if (file.samples == 0) {
        file.firstNs = sample.timeNs;
    } else if (gapPending_) {
        file.captures.push_back(
            {{"core:sample_start", file.samples}, {"core:datetime", SigmfDatetime(wall)}});
    }
    if ((file.samples == 0 || gapPending_) && sample.opening > 0) {
        // Which transfer each capture begins with, numbered as the outputs number them, so that a
        // recording and what a subscriber got can be laid side by side.
        file.captures.back()["kestavo:opening"] = sample.opening;
        file.captures.back()["kestavo:transfer"] = sample.transfer;
    }
    gapPending_ = false;
    file.lastNs = sample.timeNs;
    for (const std::uint16_t value : sample.values) {
        file.buffer.push_back(static_cast<std::uint8_t>(value));
        file.buffer.push_back(static_cast<std::uint8_t>(value >> 8));
    }
    ++file.samples;
    // In blocks as they fill, so that a large drain of the ring is not one write that a full disk
    // cuts short.
    if (file.buffer.size() >= kBlock) {
        Flush(false);
    }
}

bool Recorder::Begin(std::int64_t wallNs) {
    std::error_code ignored;
    std::filesystem::create_directories(settings_.directory, ignored);
    if (full_ && !RoomAgain()) {
        retryAtNs_ = frames::SteadyNowNs() +
                     std::chrono::duration_cast<std::chrono::nanoseconds>(settings_.retryEvery).count();
        return false;
    }
    auto file = std::make_unique<File>();
    const std::string stem = settings_.directory + "/" + settings_.name + "-" + NameTime(wallNs);
    file->base = stem;
    // Names sort by time: one begun in the same second as another gets a number after it.
    for (int again = 2; std::filesystem::exists(file->base + ".sigmf-data", ignored); ++again) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "-%03d", again);
        file->base = stem + suffix;
    }
    const std::string data = file->base + ".sigmf-data";
    file->fd = ::open(data.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (file->fd < 0) {
        const int error = errno;
        Fail(data, error);
        return false;
    }
    file->startWallNs = wallNs;
    file->captures.push_back({{"core:sample_start", 0}, {"core:datetime", SigmfDatetime(wallNs)}});
    file_ = std::move(file);
    if (!Flush(true)) {
        ::unlink(data.c_str()); // a recording that could not begin leaves nothing behind
        return false;
    }
    // The line before the state, so that whoever sees it recording again finds the line said.
    if (failing_) {
        log_("Recording again in " + data);
        failing_ = false;
        full_ = false;
    }
    {
        std::lock_guard lock(mutex_);
        status_.state = "recording";
        status_.problem.clear();
        status_.file = data;
        ++status_.recordings;
    }
    Keep();
    return true;
}

void Recorder::End() {
    if (!file_) {
        return;
    }
    Flush(true);
    if (file_) {
        ::close(file_->fd);
        file_.reset();
    }
}

bool Recorder::Flush(bool meta) {
    File& file = *file_;
    if (!file.buffer.empty()) {
        std::size_t done = 0;
        const int error = WriteAll(file.fd, file.buffer.data(), file.buffer.size(), done);
        // Whole samples written before a failure are kept: a full disk loses only what did not fit.
        const std::size_t whole = done / kSampleBytes * kSampleBytes;
        {
            std::lock_guard lock(mutex_);
            status_.bytesWritten += whole;
        }
        file.onDisk += whole / kSampleBytes;
        file.buffer.erase(file.buffer.begin(), file.buffer.begin() + static_cast<std::ptrdiff_t>(whole));
        if (error != 0) {
            Fail(file.base + ".sigmf-data", error);
            return false;
        }
    }
    if (!meta) {
        return true;
    }
    // The samples first, then the metadata that describes them.
    if (::fdatasync(file.fd) != 0) {
        const int error = errno;
        Fail(file.base + ".sigmf-data", error);
        return false;
    }
    if (const int error = WriteMeta(file); error != 0) {
        Fail(file.base + ".sigmf-meta", error);
        return false;
    }
    file.metaDueNs = frames::SteadyNowNs() +
                     std::chrono::duration_cast<std::chrono::nanoseconds>(settings_.metaEvery).count();
    return true;
}

int Recorder::WriteMeta(File& file) {
    nlohmann::json global = {{"core:datatype", "ru16_le"},
                             {"core:version", "1.0.0"},
                             {"core:num_channels", 3},
                             {"core:hw", settings_.label},
                             {"core:recorder", settings_.recorder},
                             {"core:description", settings_.description}};
    // The rate of every sample taken, whether or not all of them reached the disk.
    if (file.samples > 1 && file.lastNs > file.firstNs) {
        global["core:sample_rate"] =
            static_cast<double>(file.samples - 1) * 1e9 / static_cast<double>(file.lastNs - file.firstNs);
    }
    // Only what is on disk is described.
    nlohmann::json captures = nlohmann::json::array();
    bool numbered = false;
    for (const auto& capture : file.captures) {
        if (capture["core:sample_start"].get<std::uint64_t>() <= file.onDisk) {
            captures.push_back(capture);
            numbered = numbered || capture.contains("kestavo:transfer");
        }
    }
    if (numbered) {
        global["core:extensions"] = {{{"name", "kestavo"}, {"version", "1.0.0"}, {"optional", true}}};
    }
    nlohmann::json annotations = nlohmann::json::array();
    for (const auto& annotation : file.annotations) {
        if (annotation["core:sample_start"].get<std::uint64_t>() <= file.onDisk) {
            annotations.push_back(annotation);
        }
    }
    const nlohmann::json text = {{"global", global}, {"captures", captures}, {"annotations", annotations}};
    const int error = ReplaceAtomically(file.base + ".sigmf-meta", text.dump(2) + "\n");
    if (error == 0) {
        file.described = file.onDisk;
    }
    return error;
}

bool Recorder::RoomAgain() const {
    const auto room = RoomIn(settings_.directory);
    // A file system that cannot say is tried.
    return !room || room->bytes >= roomWhenFull_.first + 2 * kBlock ||
           (roomWhenFull_.second == 0 && room->files > 2);
}

void Recorder::Fail(const std::string& path, int error) {
    const std::string why = path + ": " + std::strerror(error);
    if (file_) {
        File& file = *file_;
        // What could not be written whole is cut, so that the data file holds whole samples, and the
        // metadata is brought up to them. Where it cannot be, the old metadata still describes the samples
        // after it, as its last capture goes on, up to the first gap it does not know of: from there on
        // they are cut.
        std::uint64_t kept = file.onDisk;
        if (file.described != file.onDisk && WriteMeta(file) != 0) {
            for (const auto* list : {&file.captures, &file.annotations}) {
                for (const auto& entry : *list) {
                    const auto start = entry["core:sample_start"].get<std::uint64_t>();
                    if (start > file.described && start < kept) {
                        kept = start;
                    }
                }
            }
        }
        if (::ftruncate(file.fd, static_cast<off_t>(kept * kSampleBytes)) != 0) {
            // A file that cannot be cut keeps a torn sample, cut at the next start.
        }
        ::close(file.fd);
        {
            std::lock_guard lock(mutex_);
            status_.samplesDropped += file.samples - kept;
        }
        file_.reset();
    }
    // What is left once the cutting is done is no room: a new recording waits for more than that.
    if (error == ENOSPC || error == EDQUOT) {
        const auto room = RoomIn(settings_.directory);
        full_ = room.has_value();
        if (room) {
            roomWhenFull_ = {room->bytes, room->files};
        }
    }
    retryAtNs_ = frames::SteadyNowNs() +
                 std::chrono::duration_cast<std::chrono::nanoseconds>(settings_.retryEvery).count();
    // Said once, however long it lasts; the line before the state, as when it begins again.
    if (!failing_) {
        log_("Recording stopped: " + why + "; trying again every " +
             std::to_string(std::chrono::duration_cast<std::chrono::seconds>(settings_.retryEvery).count()) +
             " seconds");
        failing_ = true;
    }
    {
        std::lock_guard lock(mutex_);
        status_.state = "waiting";
        status_.problem = why;
        status_.file.clear();
    }
}

// The dongle's recordings, oldest first (their names sort by time), deleted while they hold more than the
// budget; the one being made stays.
void Recorder::Keep() {
    if (settings_.keepBytes == 0) {
        return;
    }
    const std::regex ours(std::regex_replace(settings_.name, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                          R"(-\d{8}T\d{6}Z(-\d+)?)");
    std::map<std::string, std::uint64_t> recordings; // base: bytes
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(settings_.directory, error)) {
        const std::filesystem::path& path = entry.path();
        const std::string extension = path.extension().string();
        if ((extension == ".sigmf-data" || extension == ".sigmf-meta") &&
            std::regex_match(path.stem().string(), ours)) {
            recordings[(path.parent_path() / path.stem()).string()] += entry.file_size(error);
        }
    }
    std::uint64_t total = 0;
    for (const auto& [base, bytes] : recordings) {
        total += bytes;
    }
    for (const auto& [base, bytes] : recordings) {
        if (total <= settings_.keepBytes || (file_ && base == file_->base)) {
            break;
        }
        std::filesystem::remove(base + ".sigmf-data", error);
        std::filesystem::remove(base + ".sigmf-meta", error);
        total -= bytes;
        log_("Recording deleted to keep within " + std::to_string(settings_.keepBytes) + " bytes: " + base +
             ".sigmf-data");
    }
}

void Recorder::CutTornSamples() {
    std::error_code error;
    const std::string prefix = settings_.name + "-";
    for (const auto& entry : std::filesystem::directory_iterator(settings_.directory, error)) {
        const std::filesystem::path& path = entry.path();
        if (path.extension() != ".sigmf-data" || path.filename().string().rfind(prefix, 0) != 0) {
            continue;
        }
        const std::uintmax_t size = entry.file_size(error);
        if (!error && size % kSampleBytes != 0) {
            std::filesystem::resize_file(path, size - size % kSampleBytes, error);
            log_("Recording " + path.string() + ": its torn last sample cut");
        }
    }
}

bool ParseSize(const std::string& text, std::uint64_t& bytes) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    std::size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])) != 0) {
        ++digits;
    }
    if (digits == 0) {
        return false;
    }
    const std::string unit = text.substr(digits);
    std::uint64_t scale = 1;
    if (unit == "K" || unit == "k") {
        scale = 1ULL << 10;
    } else if (unit == "M") {
        scale = 1ULL << 20;
    } else if (unit == "G") {
        scale = 1ULL << 30;
    } else if (unit == "T") {
        scale = 1ULL << 40;
    } else if (!unit.empty()) {
        return false;
    }
    const std::uint64_t number = std::stoull(text.substr(0, digits));
    if (number > UINT64_MAX / scale) {
        return false;
    }
    bytes = number * scale;
    return true;
}

bool ParseDuration(const std::string& text, std::uint64_t& seconds) {
    static const std::regex form(R"((?:(\d{1,6})h)?(?:(\d{1,6})m)?(?:(\d{1,8})s)?)");
    std::smatch parts;
    if (text.empty() || !std::regex_match(text, parts, form)) {
        return false;
    }
    seconds = 0;
    const std::uint64_t scales[] = {3600, 60, 1};
    for (int i = 0; i < 3; ++i) {
        if (parts[i + 1].matched) {
            seconds += std::stoull(parts[i + 1].str()) * scales[i];
        }
    }
    return true;
}

} // namespace kestavo::record
