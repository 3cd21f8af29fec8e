// How fast the USB test bench answers the real USB library: 4096-byte bulk reads from an emulated
// dongle that always has data, and the CPU a read costs while a silent dongle makes it wait.
// Prints figures; asserts nothing.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include <usb.h>

#include "tests/kit/process.h"
#include "tests/usbbench/client.h"

namespace {

double CpuSeconds() {
    return kestavo::testkit::CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
}

usb_dev_handle* OpenOnly() {
    usb_init();
    usb_find_busses();
    usb_find_devices();
    usb_dev_handle* handle = usb_open(usb_get_busses()->devices);
    usb_set_configuration(handle, 1);
    usb_claim_interface(handle, 0);
    return handle;
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    const std::filesystem::path tree = std::filesystem::temp_directory_path() / "kestavo-usb-read-bench";
    ::setenv("USB_DEVFS_PATH", tree.c_str(), 1);
    usbbench::Load("device 1 1 0x1234 0x5678\n"
                   "configuration 1\ninterface 0\naltsetting 0\nendpoint 0x81 bulk 512\n"
                   "in counter\nin-bytes 4096\n"
                   "device 1 2 0x1234 0x5679\n"
                   "configuration 1\ninterface 0\naltsetting 0\nendpoint 0x81 bulk 512\n"
                   "in counter\nin-silence-after 0\n");
    usb_dev_handle* handle = OpenOnly();
    char buffer[4096];

    long reads = 0;
    long bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = CpuSeconds();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        for (int i = 0; i < 1000; ++i) {
            const int got = usb_bulk_read(handle, 0x81, buffer, sizeof buffer, 1000);
            bytes += got > 0 ? got : 0;
            ++reads;
        }
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuStart;
    std::printf("bulk reads of 4096 bytes: %ld in %.2f s = %.0f reads/s (%.1f MiB/s), %.2f us CPU per read\n",
                reads, elapsed, static_cast<double>(reads) / elapsed,
                static_cast<double>(bytes) / elapsed / 1048576.0, cpu / static_cast<double>(reads) * 1e6);
    usb_close(handle);

    // The second device never answers: a read waits for its whole timeout.
    usb_bus* bus = usb_get_busses();
    struct usb_device* silent = bus->devices;
    while (silent != nullptr && silent->descriptor.idProduct != 0x5679) {
        silent = silent->next;
    }
    usb_dev_handle* quiet = usb_open(silent);
    usb_claim_interface(quiet, 0);
    const double waitCpuStart = CpuSeconds();
    const auto waitStart = std::chrono::steady_clock::now();
    const int result = usb_bulk_read(quiet, 0x81, buffer, sizeof buffer, 1000);
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - waitStart).count();
    std::printf("silent device: read returned %d after %.3f s, using %.1f ms CPU (%.2f%% of one core)\n",
                result, waited, (CpuSeconds() - waitCpuStart) * 1e3,
                (CpuSeconds() - waitCpuStart) / waited * 100.0);
    usb_close(quiet);
    std::filesystem::remove_all(tree);
    return 0;
}
