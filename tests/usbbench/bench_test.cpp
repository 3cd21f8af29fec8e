#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <linux/usbdevice_fs.h>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <usb.h>

#include "tests/usbbench/model.h"
#include "usb_bench_fixture.h"

namespace kestavo::test {
namespace {

using namespace std::chrono_literals;

std::string Dongle(const std::string& stream) {
    return "device 1 2 0x1234 0x5678\n"
           "configuration 1\n"
           "interface 0\n"
           "altsetting 0\n"
           "endpoint 0x81 bulk 64\n"
           "endpoint 0x02 bulk 64\n" +
           stream;
}

std::chrono::nanoseconds ThreadCpuTime() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// Waits, without sleeping blindly, until the journal holds text.
bool JournalShows(const std::string& text, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (usbbench::Journal().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

class Bench : public UsbBenchTest {
protected:
    // Opens the only device through the real library and claims its interface.
    usb_dev_handle* OpenDongle() {
        usb_init();
        usb_find_busses();
        usb_find_devices();
        usb_bus* bus = usb_get_busses();
        EXPECT_NE(bus, nullptr);
        if (bus == nullptr || bus->devices == nullptr) {
            return nullptr;
        }
        usb_dev_handle* handle = usb_open(bus->devices);
        EXPECT_NE(handle, nullptr);
        EXPECT_EQ(usb_set_configuration(handle, 1), 0);
        EXPECT_EQ(usb_claim_interface(handle, 0), 0);
        return handle;
    }

    static std::string Read(usb_dev_handle* handle, int size, int& result, int timeout = 1000) {
        std::string data(static_cast<std::size_t>(size), '\0');
        result = usb_bulk_read(handle, 0x81, data.data(), size, timeout);
        data.resize(result > 0 ? static_cast<std::size_t>(result) : 0);
        return data;
    }
};

TEST_F(Bench, ReadsDeliverTheDescribedPayloadsCutToTheBuffer) {
    Devices(Dongle("in sequence 01 02 03 04 05 06; 0a0b; \n"));
    usb_dev_handle* handle = OpenDongle();
    ASSERT_NE(handle, nullptr);
    int result = 0;
    EXPECT_EQ(Read(handle, 4096, result), std::string("\x01\x02\x03\x04\x05\x06", 6));
    EXPECT_EQ(Read(handle, 4096, result), "\x0a\x0b");
    EXPECT_EQ(Read(handle, 4096, result), "");
    EXPECT_EQ(result, 0) << "an empty transfer";
    EXPECT_EQ(Read(handle, 4, result), std::string("\x01\x02\x03\x04", 4)) << "the sequence starts again";
    usb_close(handle);

    const std::string journal = usbbench::Journal();
    EXPECT_NE(journal.find("1-2 setconfig 1\n1-2 claim 0\n1-2 submit 81 4096\n1-2 complete 81 6\n"),
              std::string::npos)
        << journal;
    EXPECT_NE(journal.find("1-2 close"), std::string::npos);
    EXPECT_EQ(usbbench::Counters(1, 2).completed, 4U);
}

TEST_F(Bench, LongReadsAreSplitIntoTransfersOf16KiB) {
    Devices(Dongle("in counter\nin-bytes 16384\n"));
    usb_dev_handle* handle = OpenDongle();
    ASSERT_NE(handle, nullptr);
    int result = 0;
    const std::string data = Read(handle, 40000, result);
    EXPECT_EQ(result, 40000);
    // Each transfer counts its big-endian words up from its own number.
    EXPECT_EQ(static_cast<unsigned char>(data[16384 + 1]), 1);
    EXPECT_EQ(static_cast<unsigned char>(data[32768 + 1]), 2);
    EXPECT_NE(usbbench::Journal().find("submit 81 16384\n1-2 complete 81 16384\n1-2 submit 81 16384\n"
                                       "1-2 complete 81 16384\n1-2 submit 81 7232\n"),
              std::string::npos);
    usb_close(handle);
}

TEST_F(Bench, TransfersCompleteInSubmissionOrder) {
    Devices(Dongle("in counter\nin-bytes 2\nin-latency-us 2000\n"));
    usb_dev_handle* handle = OpenDongle(); // sets the configuration and claims the interface
    ASSERT_NE(handle, nullptr);
    const int fd = ::open((dir_ / "usb" / "001" / "002").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    unsigned char buffers[3][2] = {};
    usbdevfs_urb urbs[3] = {};
    for (int i = 0; i < 3; ++i) {
        urbs[i].type = USBDEVFS_URB_TYPE_BULK;
        urbs[i].endpoint = 0x81;
        urbs[i].buffer = buffers[i];
        urbs[i].buffer_length = 2;
        ASSERT_EQ(ioctl(fd, USBDEVFS_SUBMITURB, &urbs[i]), 0);
    }
    for (int i = 0; i < 3; ++i) {
        void* reaped = nullptr;
        ASSERT_EQ(ioctl(fd, USBDEVFS_REAPURB, &reaped), 0);
        EXPECT_EQ(reaped, &urbs[i]);
        EXPECT_EQ(urbs[i].actual_length, 2);
        EXPECT_EQ(buffers[i][1], i);
    }
    void* none = nullptr;
    EXPECT_EQ(ioctl(fd, USBDEVFS_REAPURBNDELAY, &none), -1);
    EXPECT_EQ(errno, EAGAIN);
    ::close(fd);
    usb_close(handle);
}

TEST_F(Bench, ASilentDeviceTimesOutAfterItsTimeoutWithoutSpinning) {
    Devices(Dongle("in counter\nin-silence-after 1\n"));
    usb_dev_handle* handle = OpenDongle();
    ASSERT_NE(handle, nullptr);
    int result = 0;
    Read(handle, 4096, result);
    EXPECT_EQ(result, 64);

    // The library times its transfers on the wall clock (gettimeofday), which the time service may be
    // slewing: the timeout is counted on that clock.
    const auto started = std::chrono::system_clock::now();
    const auto cpuBefore = ThreadCpuTime();
    Read(handle, 4096, result, 300);
    const auto elapsed = std::chrono::system_clock::now() - started;
    const auto cpu = ThreadCpuTime() - cpuBefore;
    EXPECT_EQ(result, -110);
    EXPECT_GE(elapsed, 300ms);
    EXPECT_LT(cpu * 4, elapsed) << "waiting costs little CPU: "
                                << std::chrono::duration_cast<std::chrono::milliseconds>(cpu).count()
                                << " ms";
    EXPECT_NE(usbbench::Journal().find("1-2 discard 81"), std::string::npos);
    EXPECT_EQ(usbbench::Counters(1, 2).cancelled, 1U);
    usb_close(handle);
}

TEST_F(Bench, AnUnpluggedDeviceFailsEveryReadAtOnce) {
    Devices(Dongle("in counter\nin-unplug-after 2\n"));
    usb_dev_handle* handle = OpenDongle();
    ASSERT_NE(handle, nullptr);
    int result = 0;
    Read(handle, 4096, result, 60000);
    EXPECT_EQ(result, 64);
    Read(handle, 4096, result, 60000);
    EXPECT_EQ(result, 64);
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) {
        Read(handle, 4096, result, 60000);
        EXPECT_EQ(result, -19);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s) << "no read waited for its timeout";
    EXPECT_LT(usb_claim_interface(handle, 0), 0);
    usb_close(handle);
}

TEST_F(Bench, FailingTransfersReturnTheirErrorAndCount) {
    Devices(Dongle("in counter\nin-fail EPIPE 1 2\n"));
    usb_dev_handle* handle = OpenDongle();
    ASSERT_NE(handle, nullptr);
    std::vector<int> results;
    for (int i = 0; i < 4; ++i) {
        int result = 0;
        Read(handle, 4096, result);
        results.push_back(result);
    }
    EXPECT_EQ(results, (std::vector<int>{64, -32, -32, 64}));
    EXPECT_EQ(usbbench::Counters(1, 2).refused, 2U);
    EXPECT_EQ(usbbench::Counters(1, 2).submitted, 4U);
    usb_close(handle);
}

TEST_F(Bench, ReleasingTheInterfaceEndsAPendingReadWithNoBytes) {
    Devices(Dongle("in counter\nin-silence-after 0\n"));
    usb_dev_handle* handle = OpenDongle();
    ASSERT_NE(handle, nullptr);
    auto reader = std::async(std::launch::async, [&] {
        int result = 0;
        Read(handle, 4096, result, 30000);
        return result;
    });
    ASSERT_TRUE(JournalShows("1-2 submit 81 4096"));
    EXPECT_EQ(usb_release_interface(handle, 0), 0);
    ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(reader.get(), 0);
    usb_close(handle);
}

TEST_F(Bench, ConfigurationAndClaimFailuresGiveTheirErrno) {
    Devices(Dongle("set-configuration-fails EBUSY\nclaim-fails EACCES\n"));
    usb_init();
    usb_find_busses();
    usb_find_devices();
    usb_dev_handle* handle = usb_open(usb_get_busses()->devices);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(usb_set_configuration(handle, 1), -EBUSY);
    EXPECT_EQ(usb_claim_interface(handle, 0), -EACCES);
    char data[64];
    EXPECT_EQ(usb_bulk_read(handle, 0x81, data, sizeof data, 100), -EACCES) << "reading claims it too";
    usb_close(handle);
    EXPECT_NE(usbbench::Journal().find("1-2 setconfig 1 refused\n1-2 claim 0 refused\n"), std::string::npos);
}

// What a hub's node says is on each of its ports, asked as the kernel is asked.
std::vector<int> PortsOf(const std::string& node, int& error) {
    const int fd = ::open(node.c_str(), O_RDWR);
    usbdevfs_hub_portinfo info{};
    usbdevfs_ioctl command{0, static_cast<int>(USBDEVFS_HUB_PORTINFO), &info};
    const int result = fd < 0 ? -1 : ::ioctl(fd, USBDEVFS_IOCTL, &command);
    error = result < 0 ? errno : 0;
    if (fd >= 0) {
        ::close(fd);
    }
    std::vector<int> ports;
    for (int i = 0; result == 0 && i < info.nports; ++i) {
        ports.push_back(static_cast<unsigned char>(info.port[i]));
    }
    return ports;
}

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
}

TEST_F(Bench, HubsAnswerWhoIsOnTheirPortsAndAReplugKeepsThePortButNotTheAddress) {
    Devices(HubTree({{5, "1-1.4", "SN7"}, {3, "1-2", "SN7"}}) + "in-unplug-after 2\n");
    const std::string bus = (dir_ / "usb" / "001").string();
    int error = 0;
    EXPECT_EQ(PortsOf(bus + "/001", error), (std::vector<int>{2, 3, 0, 0}));
    EXPECT_EQ(PortsOf(bus + "/002", error), (std::vector<int>{0, 0, 0, 5}));
    PortsOf(bus + "/005", error);
    EXPECT_EQ(error, ENOSYS); // not a hub
    EXPECT_EQ(ReadText(dir_ / "sysfs" / "1-2" / "devnum"), "3");
    EXPECT_EQ(ReadText(dir_ / "sysfs" / "usb1" / "busnum"), "1");

    // The real library reads the tree, hubs and all.
    usb_init();
    usb_find_busses();
    usb_find_devices();
    int seen = 0;
    for (struct usb_device* device = usb_get_busses()->devices; device != nullptr; device = device->next) {
        ++seen;
    }
    EXPECT_EQ(seen, 4);

    // The dongle on 1-2 goes after two transfers and comes back at the next address the bus hands out.
    const int fd = ::open((bus + "/003").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    std::vector<unsigned char> buffer(512);
    for (int i = 0; i < 3; ++i) {
        usbdevfs_urb urb{};
        urb.type = USBDEVFS_URB_TYPE_BULK;
        urb.endpoint = 0x81;
        urb.buffer = buffer.data();
        urb.buffer_length = 512;
        ::ioctl(fd, USBDEVFS_SUBMITURB, &urb);
    }
    ::close(fd);
    EXPECT_EQ(usbbench_address_at("1-2"), -1);
    EXPECT_FALSE(std::filesystem::exists(bus + "/003"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "sysfs" / "1-2"));
    EXPECT_EQ(PortsOf(bus + "/001", error), (std::vector<int>{2, 0, 0, 0}));

    EXPECT_EQ(usbbench_plug_in(1, 3), 0);
    EXPECT_EQ(usbbench_address_at("1-2"), 6);
    EXPECT_TRUE(std::filesystem::exists(bus + "/006"));
    EXPECT_EQ(ReadText(dir_ / "sysfs" / "1-2" / "devnum"), "6");
    EXPECT_EQ(PortsOf(bus + "/001", error), (std::vector<int>{2, 6, 0, 0}));
    EXPECT_NE(usbbench::Journal().find("1-6 plugged in"), std::string::npos);
}

TEST_F(Bench, AHubNodeOnlyRootMayWriteRefusesTheQuery) {
    Devices(HubTree({{5, "1-1.4", "SN7"}}, "read-only\n"));
    int error = 0;
    PortsOf((dir_ / "usb" / "001" / "001").string(), error);
    EXPECT_EQ(error, EACCES);
    // Opened for reading alone, as anyone may, every request is refused.
    const int fd = ::open((dir_ / "usb" / "001" / "001").c_str(), O_RDONLY);
    usbdevfs_hub_portinfo info{};
    usbdevfs_ioctl command{0, static_cast<int>(USBDEVFS_HUB_PORTINFO), &info};
    EXPECT_EQ(::ioctl(fd, USBDEVFS_IOCTL, &command), -1);
    EXPECT_EQ(errno, EPERM);
    ::close(fd);
}

TEST(BenchDescription, MistakesAreNamedWithTheirLine) {
    struct Case {
        const char* text;
        const char* error;
    };
    for (const Case& bad : {
             Case{"product Gadget\n", "line 1: 'product' comes before any 'device'"},
             Case{"device 1 1 1 1\n\nfrobnicate\n", "line 3: unknown word 'frobnicate'"},
             Case{"device 1 1 0x10000 1\n", "line 1: '0x10000' is not a number from 0 to 65535"},
             Case{"device 1 0 1 1\n", "line 1: a device address starts at 1"},
             Case{"device 1 1 1 1\ndevice 1 1 2 2\n", "line 2: bus 1 already has a device at address 1"},
             Case{"device 1 1 1 1\nproduct \"open\n", "line 2: a quoted text is not closed"},
             Case{"device 1 1 1 1\nendpoint 0x81 bulk 64\n",
                  "line 2: 'endpoint' comes before any 'altsetting'"},
             Case{"device 1 1 1 1\nconfiguration 1\ninterface 0\naltsetting 0\nendpoint 0x81 wobbly 64\n",
                  "line 5: an endpoint's type is control, isochronous, bulk or interrupt"},
             Case{"device 1 1 1 1\nin-fail ENOTANERRNO\n",
                  "line 2: 'ENOTANERRNO' is not an errno name or number"},
             Case{"device 1 1 1 1\nin sequence 01 0\n", "line 2: '01 0 ' is not a run of hexadecimal bytes"},
             Case{"device 1 1 1 1\nconfiguration 1\n", "device 1-1: a configuration needs an interface (one "
                                                       "without alternate settings will do); the "
                                                       "USB library reads past an empty list"},
             Case{"device 1 2 1 1\nport 1-1.x\n",
                  "line 2: '1-1.x' is not BUS-PORT[.PORT...] on the device's bus 1 (as in 1-1.4)"},
             Case{"device 1 2 1 1\nport 2-1\n",
                  "line 2: '2-1' is not BUS-PORT[.PORT...] on the device's bus 1 (as in 1-1.4)"},
             Case{"device 1 2 1 1\nport 1-3\n", "device 1-2: no hub is described above port 1-3"},
             Case{"device 1 1 1 1\nhub 2\ndevice 1 2 1 1\nport 1-3\n", "device 1-2: its hub has 2 ports"},
             Case{"device 1 1 1 1\nhub 2\ndevice 1 2 1 1\nport 1-1\ndevice 1 3 1 1\nport 1-1\n",
                  "device 1-2: port 1-1 holds two devices"},
             Case{"device 1 2 1 1\nhub 2\n", "device 1-2: a root hub has address 1, as the kernel gives it"},
             Case{"device 1 1 1 1\nconfiguration 1\ninterface 0\ninterface 1\naltsetting 0\n",
                  "device 1-1: an interface without alternate settings must come last in its configuration, "
                  "since it sends no descriptor"},
         }) {
        std::string error;
        EXPECT_FALSE(usbbench::Parse(bad.text, error)) << bad.text;
        EXPECT_EQ(error, bad.error) << bad.text;
    }
}

TEST(BenchDescription, LoadingNeedsATreeAndReportsMistakes) {
    const ScopedEnv noTree("USB_DEVFS_PATH", "");
    char error[256] = {};
    EXPECT_EQ(usbbench_load("bus 1\n", error, sizeof error), -1);
    EXPECT_STREQ(error, "USB_DEVFS_PATH names no folder for the emulated tree");
    EXPECT_EQ(usbbench_load("nonsense\n", error, sizeof error), -1);
    EXPECT_STREQ(error, "line 1: unknown word 'nonsense'");
}

} // namespace
} // namespace kestavo::test
