// The relay's TLS measured from outside: kestavo-relayd reading an emulated dongle (the USB test bench
// preloaded) with a TLS port beside its plain one, and K clients in another process, each checking
// that every sample frame arrives, in order, through TLS. Beside it, in the same run, Debian's stunnel4
// accepting TLS on a port of its own and connecting each client to the plain relay, and the plain
// relay itself. Prints deliveries per second, what any client missed, the latency from the moment the
// emulated dongle had the transfer ready, and how long a crowd of TLS clients takes to connect and
// receive. Asserts nothing.
//
//   tls_bench [--seconds S] [--crowd N]
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>

#include "child.h"
#include "clientkit/cpp/tls_client.h"
#include "load.h"
#include "tests/kit/child_process.h"
#include "tests/kit/frame_readers.h"
#include "tests/kit/net.h"
#include "tests/kit/wait.h"

namespace {

using namespace std::chrono_literals;
using namespace kestavo;

using bench::LoadResult;

struct Setup {
    std::filesystem::path work;
    std::string ca;
};

// Clients of host:port (through TLS when tls), connected one after another, as a crowd would come.
LoadResult Load(
    int port, int clients, double seconds, bool tls, const Setup& setup,
    const std::function<void()>& measuring = [] {}) {
    testkit::FrameReaders readers(2);
    std::optional<client::TlsClientSettings> settings;
    if (tls) {
        settings = client::TlsClientSettings{setup.ca, "", ""};
    }
    const auto start = std::chrono::steady_clock::now();
    if (readers.Connect("127.0.0.1", port, clients, settings) != clients) {
        return {};
    }
    if (!testkit::WaitUntil([&] { return readers.Totals().minFrames > 0; }, 30s)) {
        return {};
    }
    const double connectSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    LoadResult result = bench::Measure(readers, seconds, measuring);
    result.connectSeconds = connectSeconds;
    return result;
}

LoadResult LoadInChild(int port, int clients, double seconds, bool tls, const Setup& setup) {
    return bench::InChild<LoadResult>([&] { return Load(port, clients, seconds, tls, setup); });
}

// Clients streaming through TLS while, from the moment they measure, a crowd of others connects through
// TLS too, in a process of its own: what the crowd's handshakes cost those already there.
LoadResult StreamingWhileACrowdArrives(int port, int clients, int crowd, double seconds, const Setup& setup) {
    return bench::InChild<LoadResult>(
        [&](const std::function<void()>& ready) { return Load(port, clients, seconds, true, setup, ready); },
        [&] {
            std::fflush(stdout);
            if (::fork() == 0) {
                testkit::FrameReaders others(1);
                others.Connect("127.0.0.1", port, crowd, client::TlsClientSettings{setup.ca, "", ""});
                ::_exit(0);
            }
        });
}

// The service on an emulated dongle at the rate (0: full speed), its plain port and (with tls) a TLS
// port; body is given both ports.
LoadResult WithRelayd(const Setup& setup, int rate, bool tls,
                      const std::function<LoadResult(int plain, int secured)>& body) {
    std::ofstream(setup.work / "dongle.txt")
        << "device 1 2 1234 5678\nconfiguration 1\ninterface 0\naltsetting 0\n"
           "endpoint 0x81 bulk 64\nendpoint 0x02 bulk 64\nin stamp\nin-bytes 64\n"
        << (rate > 0 ? "in-rate " + std::to_string(rate) + "\n" : "");
    const int plain = testkit::FreePort();
    const int secured = testkit::FreePort();
    std::vector<std::string> arguments = {"--device", "04d2:162e", "--port", std::to_string(plain),
                                          "--listen", "127.0.0.1"};
    if (tls) {
        arguments.insert(arguments.end(), {"--tls-port", std::to_string(secured), "--tls-cert",
                                           (setup.work / "server.pem").string(), "--tls-key",
                                           (setup.work / "server.key").string()});
    }
    testkit::ChildProcess relayd(KESTAVO_RELAYD, arguments,
                                 {"LD_PRELOAD=" USBBENCH_LIBRARY,
                                  "USB_DEVFS_PATH=" + (setup.work / "usb").string(),
                                  "USB_BENCH_DEVICES=" + (setup.work / "dongle.txt").string()});
    LoadResult result;
    if (relayd.WaitFor("Network started")) {
        result = body(plain, secured);
    } else {
        std::fprintf(stderr, "%s", relayd.Output().c_str());
    }
    relayd.Signal(SIGTERM);
    relayd.WaitExit(10s);
    return result;
}

// stunnel4 in front of the plain relay: TLS on a port of its own, each client connected through.
LoadResult ThroughStunnel(const Setup& setup, int plain, int clients, double seconds) {
    const int accept = testkit::FreePort();
    const std::filesystem::path conf = setup.work / "stunnel.conf";
    std::ofstream(conf) << "foreground = yes\npid =\nsyslog = no\ndebug = 3\n[relay]\naccept = 127.0.0.1:"
                        << accept << "\nconnect = 127.0.0.1:" << plain
                        << "\ncert = " << (setup.work / "server.pem").string()
                        << "\nkey = " << (setup.work / "server.key").string()
                        << "\nsslVersionMin = TLSv1.2\n";
    testkit::ChildProcess stunnel("/usr/bin/stunnel4", {conf.string()}, {});
    if (!testkit::WaitUntil([&] { return testkit::TcpClient("127.0.0.1", accept).Connected(); }, 10s)) {
        std::fprintf(stderr, "stunnel did not start: %s\n", stunnel.Output().c_str());
        return {};
    }
    const LoadResult result = LoadInChild(accept, clients, seconds, true, setup);
    stunnel.Signal(SIGTERM);
    stunnel.WaitExit(10s);
    return result;
}

void Print(const char* name, int clients, const LoadResult& r) {
    if (!r.ok) {
        std::printf("%-16s %7d   (did not run)\n", name, clients);
        return;
    }
    std::printf("%-16s %7d %14.0f %14.0f %8llu %10llu %8llu %9.0f %9.0f %9.0f %10.2f\n", name, clients,
                r.deliveriesPerSecond, r.minPerClient, static_cast<unsigned long long>(r.lost),
                static_cast<unsigned long long>(r.malformed), static_cast<unsigned long long>(r.closed),
                r.p50, r.p99, r.max, r.connectSeconds);
    std::fflush(stdout);
}

void Header(const char* title) {
    std::printf("\n== %s\n%-16s %7s %14s %14s %8s %10s %8s %9s %9s %9s %10s\n", title, "relay", "clients",
                "deliveries/s", "min/client/s", "lost", "malformed", "closed", "p50 us", "p99 us", "max us",
                "connect s");
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 3;
    int crowd = 1000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--seconds") {
            seconds = std::atof(argv[i + 1]);
        } else if (option == "--crowd") {
            crowd = std::atoi(argv[i + 1]);
        }
    }
    Setup setup;
    setup.work = std::filesystem::temp_directory_path() / ("kestavo-tls-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(setup.work);
    const std::string make =
        std::string(KESTAVO_MAKE_CERTIFICATES) + " " + setup.work.string() + " >/dev/null";
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "could not make the certificates\n");
        return 1;
    }
    setup.ca = (setup.work / "ca.pem").string();

    for (const int rate : {0, 10'000}) {
        Header(rate == 0 ? "the dongle at full speed" : "10000 transfers/s");
        for (const int clients : {100}) {
            Print("plain, no TLS", clients, WithRelayd(setup, rate, false, [&](int plain, int) {
                      return LoadInChild(plain, clients, seconds, false, setup);
                  }));
            Print("plain beside TLS", clients, WithRelayd(setup, rate, true, [&](int plain, int) {
                      return LoadInChild(plain, clients, seconds, false, setup);
                  }));
            Print("kestavo TLS", clients, WithRelayd(setup, rate, true, [&](int, int secured) {
                      return LoadInChild(secured, clients, seconds, true, setup);
                  }));
            Print("stunnel4", clients, WithRelayd(setup, rate, false, [&](int plain, int) {
                      return ThroughStunnel(setup, plain, clients, seconds);
                  }));
        }
    }
    Header("a crowd of clients, 10000 transfers/s");
    Print("plain", crowd, WithRelayd(setup, 10'000, false, [&](int plain, int) {
              return LoadInChild(plain, crowd, seconds, false, setup);
          }));
    Print("kestavo TLS", crowd, WithRelayd(setup, 10'000, true, [&](int, int secured) {
              return LoadInChild(secured, crowd, seconds, true, setup);
          }));
    Print("stunnel4", crowd, WithRelayd(setup, 10'000, false, [&](int plain, int) {
              return ThroughStunnel(setup, plain, crowd, seconds);
          }));
    Header("100 TLS clients streaming at 10000 transfers/s while a crowd of TLS clients arrives");
    Print("kestavo TLS", 100, WithRelayd(setup, 10'000, true, [&](int, int secured) {
              return StreamingWhileACrowdArrives(secured, 100, crowd, seconds, setup);
          }));
    std::filesystem::remove_all(setup.work);
    return 0;
}
