// What the live plot costs. Two figures:
//  - the reader's transfers per second, the emulated dongle answering a read every 10 us (up to 100,000
//    transfers a second), relaying to one client on loopback, with the scope window shown (span 60 s,
//    redrawn 25 times a second by its own timer) against without it, in rounds that alternate;
//  - the window thread's time per redraw of a full 60 s span at 100,000 samples a second.
// Prints figures; asserts nothing. Run with QT_QPA_PLATFORM=offscreen where there is no display.
//
//   scope_bench [--seconds S] [--rounds N]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <pthread.h>
#include <string>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QTimer>

#include "child.h"
#include "emulated_dongle.h"
#include "relay/client_table.h"
#include "scope/plot.h"
#include "scope/scope_window.h"
#include "tests/kit/frame_readers.h"
#include "tests/kit/net.h"
#include "tests/kit/process.h"
#include "tests/kit/table_server.h"
#include "tests/kit/wait.h"
#include "tests/usbbench/client.h"
#include "usb/transfer.h"

namespace {

using namespace std::chrono_literals;
using namespace kestavo;

struct ReaderResult {
    bool ok = false;
    double transfersPerSecond = 0;
    double readerCpuUs = 0;          // the reader thread's CPU per transfer
    double windowCpuMsPerRedraw = 0; // the window thread's CPU (taking samples and drawing) per redraw
    int redraws = 0;
    std::uint64_t overwritten = 0;
};

ReaderResult Read(bool withScope, double seconds) {
    ReaderResult result;
    // The emulated dongle's short waits would otherwise be stretched by the kernel's default 50 us of
    // timer slack; the threads made from here on inherit this.
    ::prctl(PR_SET_TIMERSLACK, 1UL);
    bench::EmulatedDongle dongle("kestavo-scope-bench", "in waveform 1000\nin-bytes 64\nin-rate 100000\n");
    usb::TestParams& params = dongle.params;
    int argc = 1;
    char name[] = "scope_bench";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);

    testkit::TableServer server(testkit::FreePort());
    testkit::FrameReaders readers(1);
    readers.Connect("127.0.0.1", server.Port(), 1);
    testkit::WaitUntil([&] { return server.Table().Entries().size() == 1; }, 10s);

    auto ring = std::make_shared<frames::SampleRing>(1 << 18);
    std::atomic<frames::SampleRing*> feed{nullptr};
    std::unique_ptr<scope::ScopeWindow> window;
    // The offscreen platform never exposes a window, so nothing would be painted: the plot is drawn
    // into an image at the window's pace instead, which runs the same painting code.
    int redraws = 0;
    QImage image;
    QTimer redraw;
    if (withScope) {
        window = std::make_unique<scope::ScopeWindow>(ring);
        window->View()->SetSpan(scope::kLongestSpanNs);
        window->show();
        feed = ring.get();
        image = QImage(window->View()->size(), QImage::Format_RGB32);
        redraw.setInterval(40);
        QObject::connect(&redraw, &QTimer::timeout, [&] {
            QPainter painter(&image);
            window->View()->render(&painter);
            ++redraws;
        });
        redraw.start();
    }

    std::unique_ptr<usb::TransferContext> readSide;
    std::unique_ptr<usb::TransferContext> writeSide;
    std::atomic<std::uint64_t> transfers{0};
    const auto message = [](const std::string& text) {
        std::fprintf(stderr, "%s", text.c_str());
    };
    // As the window's reader does: relay, then hand the plot its samples.
    usb::PrepareConnection(params, readSide, writeSide, message, [&](const frames::SamplePacket& packet) {
        server.Table().RelaySamplePacket(packet);
        if (frames::SampleRing* to = feed.load(std::memory_order_acquire)) {
            to->Push(frames::SteadyNowNs(), packet.samples[0], packet.samples[1], packet.samples[2]);
        }
        transfers.fetch_add(1, std::memory_order_relaxed);
    });
    if (!readSide) {
        return result;
    }
    clockid_t readerClock{};
    pthread_getcpuclockid(readSide->thread.native_handle(), &readerClock);
    usb::Resume(*readSide);
    const auto runFor = [&](double span) {
        QTimer::singleShot(static_cast<int>(span * 1000), &app, &QCoreApplication::quit);
        QApplication::exec();
    };
    runFor(0.3); // past the warm-up

    const std::uint64_t startTransfers = transfers;
    const double startCpu = testkit::CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const double startReader = testkit::CpuSeconds(readerClock);
    const int startRedraws = redraws;
    const auto start = std::chrono::steady_clock::now();
    runFor(seconds);
    const std::uint64_t done = transfers - startTransfers;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = testkit::CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - startCpu;
    const double reader = testkit::CpuSeconds(readerClock) - startReader;
    usb::StopTransfers(params, readSide, writeSide);
    readers.Stop();

    result.ok = true;
    result.transfersPerSecond = static_cast<double>(done) / elapsed;
    result.redraws = redraws - startRedraws;
    result.readerCpuUs = reader * 1e6 / static_cast<double>(done);
    result.windowCpuMsPerRedraw = result.redraws > 0 ? cpu * 1e3 / result.redraws : 0;
    result.overwritten = window ? window->View()->Overwritten() : 0;
    window.reset();
    return result;
}

struct RedrawResult {
    double medianMs = 0;
    double worstMs = 0;
    double drainMs = 0; // taking 4,000 samples (a 25th of a second's) from the ring
    std::size_t samples = 0;
};

// A full minute at 100,000 samples a second, noisy so that every column spans a range, drawn at the
// scope window's plot size.
RedrawResult Redraw() {
    int argc = 1;
    char name[] = "scope_bench";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    constexpr std::int64_t kEvery = 10'000; // ns
    constexpr std::int64_t kSamples = scope::kLongestSpanNs / kEvery;
    auto ring = std::make_shared<frames::SampleRing>(1 << 18);
    std::int64_t now = 0;
    scope::ScopeView view(ring, nullptr, [&] { return now; });
    view.SetSpan(scope::kLongestSpanNs);
    view.SetFitRange(true);
    std::uint32_t noise = 1;
    const auto next = [&] {
        noise = noise * 1664525U + 1013904223U;
        return static_cast<std::uint16_t>(noise >> 24);
    };
    for (std::int64_t i = 0; i < kSamples; ++i) {
        const double phase = static_cast<double>(i % 100'000) / 100'000.0;
        ring->Push(i * kEvery, static_cast<std::uint16_t>(32768 + 30000 * std::sin(6.283 * phase) + next()),
                   static_cast<std::uint16_t>(2768 + 60000 * phase), next());
        if (ring->Written() % 100'000 == 0) {
            view.Drain();
        }
    }
    now = kSamples * kEvery;
    view.Drain();
    RedrawResult result;
    std::vector<double> times;
    QImage image(QSize(880, 400), QImage::Format_RGB32);
    {
        QPainter painter(&image); // the first drawing loads the fonts
        view.render(&painter);
    }
    for (int i = 0; i < 40; ++i) {
        const double start = testkit::CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        QPainter painter(&image);
        view.render(&painter);
        times.push_back((testkit::CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - start) * 1e3);
    }
    std::sort(times.begin(), times.end());
    result.medianMs = times[times.size() / 2];
    result.worstMs = times.back();
    std::vector<double> drains;
    for (int i = 0; i < 40; ++i) {
        for (int k = 0; k < 4000; ++k) {
            ring->Push(now, 1, 2, 3);
            now += kEvery;
        }
        const double start = testkit::CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        view.Drain();
        drains.push_back((testkit::CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - start) * 1e3);
    }
    std::sort(drains.begin(), drains.end());
    result.drainMs = drains[drains.size() / 2];
    result.samples = static_cast<std::size_t>(kSamples);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 5.0;
    int rounds = 3;
    bench::ReadSecondsAndRounds(argc, argv, seconds, rounds);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);

    const RedrawResult redraw = bench::InChild<RedrawResult>(Redraw);
    std::printf("\n== Redrawing a 60 s span of %zu samples (880 x 400 pixels)\n", redraw.samples);
    std::printf("window thread CPU per redraw: median %.2f ms, worst of 40 %.2f ms\n", redraw.medianMs,
                redraw.worstMs);
    std::printf("taking a 25th of a second's samples (4,000) from the ring: %.3f ms\n", redraw.drainMs);

    std::printf("\n== The reader at up to 100,000 transfers/s, one relay client, %.1f s a run\n", seconds);
    std::printf("%6s %8s %14s %18s %10s %22s %12s\n", "round", "scope", "transfers/s", "reader CPU us/tr",
                "redraws", "window CPU ms/redraw", "overwritten");
    for (int round = 1; round <= rounds; ++round) {
        for (const bool withScope : {round % 2 == 0, round % 2 != 0}) {
            const ReaderResult r = bench::InChild<ReaderResult>([&] { return Read(withScope, seconds); });
            if (!r.ok) {
                std::printf("%6d %8s   (did not run)\n", round, withScope ? "shown" : "none");
                continue;
            }
            std::printf("%6d %8s %14.0f %18.2f %10d %22.2f %12llu\n", round, withScope ? "shown" : "none",
                        r.transfersPerSecond, r.readerCpuUs, r.redraws, r.windowCpuMsPerRedraw,
                        static_cast<unsigned long long>(r.overwritten));
        }
    }
    return 0;
}
