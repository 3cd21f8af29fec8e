// The emulator: a usbfs tree of regular files, and the calls the USB library makes on them answered as
// the kernel would, for the devices a description gives. Only paths under $USB_DEVFS_PATH and the file
// descriptors opened on them are touched; every other call goes on to the C library unchanged.
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <linux/usbdevice_fs.h>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tests/usbbench/model.h"
#include "tests/usbbench/usbbench.h"

namespace usbbench {
namespace {

using Clock = std::chrono::steady_clock;

template <typename F> F RealFunction(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using OpenFn = int (*)(const char*, int, ...);
using CloseFn = int (*)(int);
using ReadFn = ssize_t (*)(int, void*, size_t);
using IoctlFn = int (*)(int, unsigned long, ...);
using SelectFn = int (*)(int, fd_set*, fd_set*, fd_set*, timeval*);

OpenFn RealOpen() {
    static const auto real = RealFunction<OpenFn>("open");
    return real;
}
CloseFn RealClose() {
    static const auto real = RealFunction<CloseFn>("close");
    return real;
}

constexpr int kMaxFd = 65536;
constexpr std::size_t kJournalLimit = 100000;

struct Pending {
    usbdevfs_urb* user = nullptr;
    std::uint8_t endpoint = 0;
    std::uint8_t interface = 0;
    Clock::time_point due = Clock::time_point::max();
    std::vector<std::uint8_t> payload;
    int status = 0;
};

struct Device {
    DeviceModel model;
    std::string name; // "bus-address", as the journal names it
    std::vector<std::uint8_t> fileContent;
    std::uint32_t opens = 0;
    std::uint64_t transfers = 0;
    Clock::time_point lastDue{};
    Clock::time_point rateStart{}; // when the first transfer of a paced stream was submitted
    bool unplugged = false;
    bool everPresent = false;                  // a device on a port comes back at a new address
    std::optional<Clock::time_point> plugInAt; // when an absent device comes (back), if it does
    int configuration = 0;
    usbbench_counters counters{};
};

struct OpenFile {
    Device* device = nullptr;
    bool dead = false; // its device went away; plugged back, it is another device to this file
    bool writable = false;
    std::size_t offset = 0;
    std::set<int> claimed;
    std::deque<Pending> pending;   // in submission order
    std::deque<Pending> completed; // in completion order, waiting to be reaped
};

std::array<std::atomic<bool>, kMaxFd> g_emulated{};

bool IsEmulated(int fd) {
    return fd >= 0 && fd < kMaxFd && g_emulated[static_cast<std::size_t>(fd)].load(std::memory_order_acquire);
}

class Bench {
public:
    static Bench& Instance() {
        static Bench* bench = new Bench; // never destroyed: calls may come during exit
        return *bench;
    }

    bool Load(const std::string& text, std::string& error) {
        const std::optional<BenchModel> model = Parse(text, error);
        if (!model) {
            return false;
        }
        const char* root = std::getenv("USB_DEVFS_PATH");
        if (root == nullptr || *root == '\0') {
            error = "USB_DEVFS_PATH names no folder for the emulated tree";
            return false;
        }
        // Laying out the tree opens files and folders through the very functions the bench answers, so
        // it happens before the lock is taken.
        if (!Lay(*model, root, error)) {
            return false;
        }
        const char* sysfs = std::getenv("USB_SYSFS_PATH");
        if (sysfs != nullptr && *sysfs != '\0' && !LaySysfs(sysfs, error)) {
            return false;
        }
        std::lock_guard lock(mutex_);
        sysfs_ = sysfs != nullptr ? sysfs : "";
        lastAddress_.clear();
        for (auto& device : devices_) {
            device->unplugged = true; // what is still open on them sees the devices gone
            retired_.push_back(std::move(device));
        }
        for (auto& [fd, file] : files_) {
            file->dead = true;
        }
        devices_.clear();
        byName_.clear();
        for (const DeviceModel& description : model->devices) {
            auto device = std::make_unique<Device>();
            device->model = description;
            device->name = std::to_string(description.bus) + "-" + std::to_string(description.address);
            device->fileContent = DeviceDescriptor(description);
            if (description.plugInAfterMs) {
                device->unplugged = true;
                device->plugInAt = Clock::now() + std::chrono::milliseconds(*description.plugInAfterMs);
            }
            for (const ConfigurationModel& configuration : description.configurations) {
                const auto bytes = ConfigurationDescriptor(configuration);
                device->fileContent.insert(device->fileContent.end(), bytes.begin(), bytes.end());
            }
            device->configuration =
                description.configurations.empty() ? 0 : description.configurations[0].value;
            int& last = lastAddress_[description.bus];
            last = std::max(last, description.address);
            devices_.push_back(std::move(device));
        }
        root_ = root;
        while (!root_.empty() && root_.back() == '/') {
            root_.pop_back();
        }
        for (const auto& device : devices_) {
            // A device on a port that is not there yet has no file, as with the kernel.
            if (!device->unplugged || device->model.port.empty()) {
                byName_[FileName(*device)] = device.get();
            }
            if (!device->unplugged) {
                device->everPresent = true;
                SysfsAdd(*device);
            }
        }
        for (auto& [fd, file] : files_) {
            CancelAll(*file, -ENODEV);
        }
        changed_.notify_all();
        return true;
    }

    // The device a path under the tree names, or nullptr when the path is not the bench's.
    Device* Find(const char* path) {
        if (root_.empty() || path == nullptr) {
            return nullptr;
        }
        std::string_view rest(path);
        if (rest.substr(0, root_.size()) != root_ || rest.size() == root_.size() ||
            rest[root_.size()] != '/') {
            return nullptr;
        }
        rest.remove_prefix(root_.size());
        while (!rest.empty() && rest.front() == '/') {
            rest.remove_prefix(1);
        }
        const auto found = byName_.find(std::string(rest));
        return found == byName_.end() ? nullptr : found->second;
    }

    bool InTree(const char* path) {
        std::lock_guard lock(mutex_);
        PlugInDue();
        return Find(path) != nullptr;
    }

    int Open(const char* path, int flags) {
        std::lock_guard lock(mutex_);
        PlugInDue();
        Device* device = Find(path);
        if (device == nullptr) {
            errno = ENOENT;
            return -1;
        }
        const bool writable = (flags & O_ACCMODE) != O_RDONLY;
        const int refusal = device->unplugged               ? ENOENT
                            : device->model.refuseOpen != 0 ? device->model.refuseOpen
                            : device->model.openLimit && device->opens >= *device->model.openLimit ? ENOENT
                            : writable && device->model.readOnly                                   ? EACCES
                                                                                                   : 0;
        if (refusal != 0) {
            Note(*device, "open refused");
            errno = refusal;
            return -1;
        }
        const int fd = RealOpen()(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return -1;
        }
        if (fd >= kMaxFd) {
            RealClose()(fd);
            errno = EMFILE;
            return -1;
        }
        ++device->opens;
        auto file = std::make_unique<OpenFile>();
        file->device = device;
        file->writable = writable;
        files_[fd] = std::move(file);
        g_emulated[static_cast<std::size_t>(fd)].store(true, std::memory_order_release);
        Note(*device, "open");
        return fd;
    }

    void Close(int fd) {
        std::lock_guard lock(mutex_);
        const auto found = files_.find(fd);
        if (found == files_.end()) {
            return;
        }
        g_emulated[static_cast<std::size_t>(fd)].store(false, std::memory_order_release);
        CancelAll(*found->second, -ENOENT);
        Note(*found->second->device, "close");
        files_.erase(found);
        changed_.notify_all();
    }

    ssize_t Read(int fd, void* buffer, std::size_t count) {
        std::lock_guard lock(mutex_);
        const auto found = files_.find(fd);
        if (found == files_.end()) {
            return Fail(EBADF); // closed by another thread meanwhile
        }
        OpenFile& file = *found->second;
        const std::vector<std::uint8_t>& content = file.device->fileContent;
        const std::size_t available = file.offset < content.size() ? content.size() - file.offset : 0;
        const std::size_t n = std::min(count, available);
        std::memcpy(buffer, content.data() + file.offset, n);
        file.offset += n;
        return static_cast<ssize_t>(n);
    }

    int Ioctl(int fd, unsigned long request, void* argument) {
        std::unique_lock lock(mutex_);
        const auto found = files_.find(fd);
        if (found == files_.end()) {
            return Fail(EBADF); // closed by another thread meanwhile
        }
        OpenFile& file = *found->second;
        Device& device = *file.device;
        // usbfs wants a file opened for writing for every request that reaches the device.
        const auto refusedFor = [&](bool needsDevice) {
            if (file.dead) {
                return ENODEV;
            }
            return needsDevice && !file.writable ? EPERM : 0;
        };
        int refusal = 0;
        switch (request) {
        case USBDEVFS_CONNECTINFO: {
            if ((refusal = refusedFor(false)) != 0) {
                return Fail(refusal);
            }
            auto* info = static_cast<usbdevfs_connectinfo*>(argument);
            info->devnum = static_cast<unsigned>(device.model.address);
            info->slow = 0;
            return 0;
        }
        case USBDEVFS_IOCTL: {
            if ((refusal = refusedFor(true)) != 0) {
                return Fail(refusal);
            }
            auto* command = static_cast<usbdevfs_ioctl*>(argument);
            if (!device.model.hubPorts || command->ioctl_code != static_cast<int>(USBDEVFS_HUB_PORTINFO)) {
                return Fail(ENOSYS); // only hubs have a driver that answers, and only this
            }
            auto* info = static_cast<usbdevfs_hub_portinfo*>(command->data);
            std::memset(info, 0, sizeof *info);
            info->nports = static_cast<char>(*device.model.hubPorts);
            for (const auto& child : devices_) {
                const std::vector<int>& path = child->model.port;
                if (child->unplugged || child->model.bus != device.model.bus ||
                    path.size() != device.model.port.size() + 1 ||
                    !std::equal(device.model.port.begin(), device.model.port.end(), path.begin())) {
                    continue;
                }
                info->port[path.back() - 1] = static_cast<char>(child->model.address);
            }
            Note(device, "hub ports");
            return 0;
        }
        case USBDEVFS_CONTROL:
            if ((refusal = refusedFor(true)) != 0) {
                return Fail(refusal);
            }
            return Control(device, *static_cast<usbdevfs_ctrltransfer*>(argument));
        case USBDEVFS_SETCONFIGURATION: {
            if ((refusal = refusedFor(true)) != 0) {
                return Fail(refusal);
            }
            const int value = *static_cast<int*>(argument);
            if (device.model.setConfigurationError != 0) {
                Note(device, "setconfig " + std::to_string(value) + " refused");
                return Fail(device.model.setConfigurationError);
            }
            if (value > 0 && ConfigurationByValue(device, value) == nullptr) {
                return Fail(EINVAL);
            }
            device.configuration = value;
            Note(device, "setconfig " + std::to_string(value));
            return 0;
        }
        case USBDEVFS_CLAIMINTERFACE: {
            if ((refusal = refusedFor(true)) != 0) {
                return Fail(refusal);
            }
            const int number = *static_cast<int*>(argument);
            if (device.model.claimError != 0) {
                Note(device, "claim " + std::to_string(number) + " refused");
                return Fail(device.model.claimError);
            }
            if (!HasInterface(device, number)) {
                return Fail(ENOENT);
            }
            file.claimed.insert(number);
            Note(device, "claim " + std::to_string(number));
            return 0;
        }
        case USBDEVFS_RELEASEINTERFACE: {
            if ((refusal = refusedFor(true)) != 0) {
                return Fail(refusal);
            }
            const int number = *static_cast<int*>(argument);
            if (file.claimed.erase(number) == 0) {
                return Fail(EINVAL);
            }
            Note(device, "release " + std::to_string(number));
            Cancel(file, -ENOENT, [&](const Pending& urb) { return urb.interface == number; });
            return 0;
        }
        case USBDEVFS_RESET:
            if ((refusal = refusedFor(true)) != 0) {
                return Fail(refusal);
            }
            Note(device, "reset");
            CancelAll(file, -ENOENT);
            return 0;
        case USBDEVFS_SUBMITURB:
            if ((refusal = refusedFor(true)) != 0) {
                return Fail(refusal);
            }
            return Submit(file, static_cast<usbdevfs_urb*>(argument));
        case USBDEVFS_DISCARDURB: {
            if ((refusal = refusedFor(true)) != 0) {
                return Fail(refusal);
            }
            auto* urb = static_cast<usbdevfs_urb*>(argument);
            const auto found = std::find_if(file.pending.begin(), file.pending.end(),
                                            [&](const Pending& pending) { return pending.user == urb; });
            if (found == file.pending.end()) {
                return Fail(EINVAL);
            }
            Note(device, "discard " + Hex(found->endpoint));
            Cancel(file, -ECONNRESET, [&](const Pending& pending) { return pending.user == urb; });
            return 0;
        }
        case USBDEVFS_REAPURBNDELAY:
            return Reap(file, static_cast<void**>(argument), false, lock);
        case USBDEVFS_REAPURB:
            return Reap(file, static_cast<void**>(argument), true, lock);
        default:
            return Fail(ENOTTY);
        }
    }

    // select() over the bench's files: a file is ready when a transfer waits to be reaped or its device
    // is gone. Other descriptors in the sets are left out.
    int Select(int nfds, fd_set* readable, fd_set* writable, fd_set* exceptional, timeval* timeout) {
        std::unique_lock lock(mutex_);
        const Clock::time_point deadline = timeout == nullptr
                                               ? Clock::time_point::max()
                                               : Clock::now() + std::chrono::seconds(timeout->tv_sec) +
                                                     std::chrono::microseconds(timeout->tv_usec);
        std::vector<int> watched;
        for (int fd = 0; fd < nfds && fd < kMaxFd; ++fd) {
            const bool asked = (readable != nullptr && FD_ISSET(fd, readable)) ||
                               (writable != nullptr && FD_ISSET(fd, writable));
            if (asked && files_.count(fd) != 0) {
                watched.push_back(fd);
            }
        }
        for (;;) {
            const Clock::time_point now = Clock::now();
            int ready = 0;
            Clock::time_point wake = deadline;
            std::vector<bool> isReady(watched.size(), false);
            for (std::size_t i = 0; i < watched.size(); ++i) {
                const auto found = files_.find(watched[i]);
                if (found == files_.end()) {
                    continue;
                }
                OpenFile& file = *found->second;
                Advance(file, now);
                if (!file.completed.empty() || file.dead) {
                    isReady[i] = true;
                    ++ready;
                } else if (!file.pending.empty()) {
                    wake = std::min(wake, file.pending.front().due);
                }
            }
            if (ready > 0 || now >= deadline) {
                fd_set readyRead;
                fd_set readyWrite;
                FD_ZERO(&readyRead);
                FD_ZERO(&readyWrite);
                int count = 0;
                for (std::size_t i = 0; i < watched.size(); ++i) {
                    if (!isReady[i]) {
                        continue;
                    }
                    if (readable != nullptr && FD_ISSET(watched[i], readable)) {
                        FD_SET(watched[i], &readyRead);
                        ++count;
                    }
                    if (writable != nullptr && FD_ISSET(watched[i], writable)) {
                        FD_SET(watched[i], &readyWrite);
                        ++count;
                    }
                }
                if (readable != nullptr) {
                    *readable = readyRead;
                }
                if (writable != nullptr) {
                    *writable = readyWrite;
                }
                if (exceptional != nullptr) {
                    FD_ZERO(exceptional);
                }
                return count;
            }
            changed_.wait_until(lock, wake);
        }
    }

    std::size_t CopyJournal(char* buffer, std::size_t size) {
        std::lock_guard lock(mutex_);
        std::string text;
        for (const std::string& line : journal_) {
            text += line;
            text += '\n';
        }
        if (buffer != nullptr && size > 0) {
            const std::size_t n = std::min(size - 1, text.size());
            std::memcpy(buffer, text.data(), n);
            buffer[n] = '\0';
        }
        return text.size();
    }

    void ClearJournal() {
        std::lock_guard lock(mutex_);
        journal_.clear();
    }

    int SetPlugged(int bus, int address, bool plugged) {
        std::lock_guard lock(mutex_);
        for (const auto& device : devices_) {
            if (device->model.bus == bus && device->model.address == address) {
                if (!plugged) {
                    Unplug(*device);
                } else if (device->unplugged) {
                    PlugBack(*device);
                }
                return 0;
            }
        }
        return -1;
    }

    int AddressAt(const std::string& port) {
        std::lock_guard lock(mutex_);
        PlugInDue();
        for (const auto& device : devices_) {
            if (!device->unplugged && PortName(device->model) == port) {
                return device->model.address;
            }
        }
        return -1;
    }

    int CopyCounters(int bus, int address, usbbench_counters* counters) {
        std::lock_guard lock(mutex_);
        for (const auto& device : devices_) {
            if (device->model.bus == bus && device->model.address == address) {
                *counters = device->counters;
                return 0;
            }
        }
        return -1;
    }

private:
    static std::string BusFolder(int number) {
        char text[16];
        std::snprintf(text, sizeof text, "%03d", number);
        return text;
    }

    static std::string Hex(std::uint8_t value) {
        char text[8];
        std::snprintf(text, sizeof text, "%02x", value);
        return text;
    }

    static int Fail(int error) {
        errno = error;
        return -1;
    }

    static std::string FileName(const Device& device) {
        return BusFolder(device.model.bus) + "/" + BusFolder(device.model.address);
    }

    // The kernel's sysfs entries of the devices, for a reader that may not ask the hubs: a folder per
    // device on a hub, named for its port, holding its bus and address.
    bool LaySysfs(const std::string& root, std::string& error) {
        namespace fs = std::filesystem;
        std::error_code failure;
        fs::create_directories(root, failure);
        for (const auto& entry : fs::directory_iterator(root, failure)) {
            fs::remove_all(entry.path(), failure);
        }
        if (failure) {
            error = "cannot lay out the sysfs tree in " + root + ": " + failure.message();
            return false;
        }
        return true;
    }

    void SysfsAdd(const Device& device) {
        const std::string name = PortName(device.model);
        if (sysfs_.empty() || name.empty()) {
            return;
        }
        const std::string folder = sysfs_ + "/" + name;
        ::mkdir(folder.c_str(), 0755);
        WriteFile(folder + "/busnum", std::to_string(device.model.bus) + "\n");
        WriteFile(folder + "/devnum", std::to_string(device.model.address) + "\n");
        if (!device.model.hubPorts) {
            ::mkdir((folder + ":1.0").c_str(), 0755); // an interface's entry, which has no numbers
        }
    }

    void SysfsRemove(const Device& device) {
        const std::string name = PortName(device.model);
        if (sysfs_.empty() || name.empty()) {
            return;
        }
        const std::string folder = sysfs_ + "/" + name;
        ::unlink((folder + "/busnum").c_str());
        ::unlink((folder + "/devnum").c_str());
        ::rmdir(folder.c_str());
        ::rmdir((folder + ":1.0").c_str());
    }

    static void WriteFile(const std::string& path, const std::string& text) {
        const int fd = RealOpen()(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            [[maybe_unused]] const ssize_t written = ::write(fd, text.data(), text.size());
            RealClose()(fd);
        }
    }

    // The next address the bus hands out, as the kernel does: after the last one given, skipping those
    // in use.
    int NextAddress(int bus) {
        int& last = lastAddress_[bus];
        for (int tried = 0; tried < 127; ++tried) {
            last = last % 127 + 1;
            if (byName_.count(BusFolder(bus) + "/" + BusFolder(last)) == 0) {
                return last;
            }
        }
        return last;
    }

    // Devices whose time to come (back) has come.
    void PlugInDue() {
        const Clock::time_point now = Clock::now();
        for (const auto& device : devices_) {
            if (device->unplugged && device->plugInAt && now >= *device->plugInAt) {
                PlugBack(*device);
            }
        }
    }

    // Makes the folders and files of the tree, replacing the bus folders of an earlier description.
    static bool Lay(const BenchModel& model, const std::string& root, std::string& error) {
        namespace fs = std::filesystem;
        std::error_code failure;
        fs::create_directories(root, failure);
        if (failure) {
            error = "cannot make " + root + ": " + failure.message();
            return false;
        }
        for (const auto& entry : fs::directory_iterator(root, failure)) {
            const std::string name = entry.path().filename().string();
            if (!name.empty() &&
                std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                fs::remove_all(entry.path(), failure);
            }
        }
        std::set<int> buses(model.buses.begin(), model.buses.end());
        for (const DeviceModel& device : model.devices) {
            buses.insert(device.bus);
        }
        for (const int bus : buses) {
            fs::create_directories(fs::path(root) / BusFolder(bus), failure);
            if (failure) {
                error = "cannot make the folder of bus " + std::to_string(bus) + ": " + failure.message();
                return false;
            }
        }
        for (const DeviceModel& device : model.devices) {
            if (device.plugInAfterMs && !device.port.empty()) {
                continue; // made when it is plugged in
            }
            const fs::path file = fs::path(root) / BusFolder(device.bus) / BusFolder(device.address);
            const int fd = RealOpen()(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
            if (fd < 0) {
                error = "cannot make " + file.string() + ": " + std::strerror(errno);
                return false;
            }
            RealClose()(fd);
        }
        return true;
    }

    void Note(Device& device, const std::string& event) {
        if (journal_.size() == kJournalLimit) {
            journal_.pop_front();
        }
        journal_.push_back(device.name + " " + event);
    }

    static const ConfigurationModel* ConfigurationByValue(const Device& device, int value) {
        for (const ConfigurationModel& configuration : device.model.configurations) {
            if (configuration.value == value) {
                return &configuration;
            }
        }
        return nullptr;
    }

    static bool HasInterface(const Device& device, int number) {
        const ConfigurationModel* configuration = ConfigurationByValue(device, device.configuration);
        if (configuration == nullptr) {
            return false;
        }
        return std::any_of(configuration->interfaces.begin(), configuration->interfaces.end(),
                           [&](const InterfaceModel& interface) { return interface.number == number; });
    }

    // The endpoint of the active configuration's first alternate settings, and its interface.
    static const EndpointModel* FindEndpoint(const Device& device, std::uint8_t address,
                                             std::uint8_t& interface) {
        const ConfigurationModel* configuration = ConfigurationByValue(device, device.configuration);
        if (configuration == nullptr) {
            return nullptr;
        }
        for (const InterfaceModel& candidate : configuration->interfaces) {
            if (candidate.altSettings.empty()) {
                continue;
            }
            for (const EndpointModel& endpoint : candidate.altSettings.front().endpoints) {
                if (endpoint.address == address) {
                    interface = candidate.number;
                    return &endpoint;
                }
            }
        }
        return nullptr;
    }

    int Control(Device& device, usbdevfs_ctrltransfer& control) {
        const bool getDescriptor = control.bRequestType == 0x80 && control.bRequest == 6;
        if (!getDescriptor) {
            return Fail(EPIPE);
        }
        const int type = control.wValue >> 8;
        const int index = control.wValue & 0xFF;
        std::vector<std::uint8_t> answer;
        if (type == 1) {
            answer = DeviceDescriptor(device.model);
        } else if (type == 2 && index < static_cast<int>(device.model.configurations.size())) {
            answer = ConfigurationDescriptor(device.model.configurations[static_cast<std::size_t>(index)]);
        } else if (type == 3 && index == 0) {
            answer = LanguageDescriptor();
        } else if (type == 3 && index <= 3 &&
                   device.model.strings[static_cast<std::size_t>(index - 1)].present) {
            answer = StringDescriptor(device.model.strings[static_cast<std::size_t>(index - 1)]);
        } else {
            return Fail(EPIPE); // the device stalls what it does not have
        }
        const std::size_t n = std::min<std::size_t>(answer.size(), control.wLength);
        std::memcpy(control.data, answer.data(), n);
        return static_cast<int>(n);
    }

    int Submit(OpenFile& file, usbdevfs_urb* urb) {
        Device& device = *file.device;
        std::uint8_t interface = 0;
        const EndpointModel* endpoint = FindEndpoint(device, urb->endpoint, interface);
        if (endpoint == nullptr) {
            return Fail(ENOENT);
        }
        if (endpoint->type == TransferType::Isochronous || endpoint->type == TransferType::Control) {
            return Fail(EINVAL);
        }
        if (device.model.claimError != 0) {
            return Fail(device.model.claimError); // the kernel claims the interface first, and fails alike
        }
        // As the kernel does, a transfer claims its interface when nobody has, so that releasing it
        // afterwards ends the transfer.
        file.claimed.insert(interface);
        Pending pending;
        pending.user = urb;
        pending.endpoint = urb->endpoint;
        pending.interface = interface;
        const Clock::time_point now = Clock::now();
        if ((urb->endpoint & 0x80) == 0) {
            // The dongle swallows whatever is written to it.
            pending.due = now;
            pending.payload.assign(static_cast<std::size_t>(std::max(urb->buffer_length, 0)), 0);
            file.pending.push_back(std::move(pending));
            return 0;
        }
        const StreamModel& stream = device.model.in;
        const std::uint64_t index = device.transfers++;
        ++device.counters.submitted;
        Note(device, "submit " + Hex(urb->endpoint) + " " + std::to_string(urb->buffer_length));
        if (stream.unplugAfter && index >= *stream.unplugAfter) {
            Unplug(device);
            ++device.counters.refused;
            return Fail(ENODEV);
        }
        if (stream.fail && index >= stream.fail->from && index - stream.fail->from < stream.fail->count) {
            ++device.counters.refused;
            Note(device, "refuse " + Hex(urb->endpoint) + " " + std::strerror(stream.fail->error));
            return Fail(stream.fail->error);
        }
        if (stream.silenceAfter && index >= *stream.silenceAfter) {
            pending.due = Clock::time_point::max();
        } else {
            if (stream.ratePerSecond > 0) {
                // A dongle samples at its own pace and keeps what the host has not read yet, so a late
                // reader finds transfers waiting.
                if (index == 0) {
                    device.rateStart = now;
                }
                pending.due =
                    device.rateStart + std::chrono::nanoseconds(static_cast<std::int64_t>(
                                           static_cast<double>(index) * 1e9 / stream.ratePerSecond));
            } else {
                pending.due = std::max(now, device.lastDue) + std::chrono::microseconds(stream.latencyUs);
            }
            device.lastDue = pending.due;
            pending.payload =
                Payload(stream, index,
                        static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                       pending.due.time_since_epoch())
                                                       .count()));
        }
        file.pending.push_back(std::move(pending));
        return 0;
    }

    void Unplug(Device& device) {
        if (device.unplugged) {
            return;
        }
        device.unplugged = true;
        if (device.model.in.replugAfterMs) {
            device.plugInAt = Clock::now() + std::chrono::milliseconds(*device.model.in.replugAfterMs);
        }
        Note(device, "unplugged");
        for (auto& [fd, file] : files_) {
            if (file->device == &device) {
                file->dead = true;
                CancelAll(*file, -ENODEV);
            }
        }
        if (!device.model.port.empty()) {
            // Its node goes, as the kernel's does; it comes back under another address.
            ::unlink((root_ + "/" + FileName(device)).c_str());
            byName_.erase(FileName(device));
            SysfsRemove(device);
        }
        changed_.notify_all();
    }

    // The device is there again, as if newly plugged in: unconfigured, its transfers counted afresh.
    // Files opened before stay dead.
    void PlugBack(Device& device) {
        if (!device.model.port.empty()) {
            if (device.everPresent) {
                device.model.address = NextAddress(device.model.bus);
                device.name = std::to_string(device.model.bus) + "-" + std::to_string(device.model.address);
            }
            WriteFile(root_ + "/" + FileName(device), "");
            byName_[FileName(device)] = &device;
            SysfsAdd(device);
        }
        device.everPresent = true;
        device.unplugged = false;
        device.plugInAt.reset();
        device.transfers = 0;
        device.lastDue = {};
        device.configuration = 0;
        Note(device, "plugged in");
    }

    // Moves every transfer whose time has come to the completed ones, in submission order.
    static void Advance(OpenFile& file, Clock::time_point now) {
        while (!file.pending.empty() && file.pending.front().due <= now) {
            file.completed.push_back(std::move(file.pending.front()));
            file.pending.pop_front();
        }
    }

    template <typename Match> void Cancel(OpenFile& file, int status, Match match) {
        for (auto it = file.pending.begin(); it != file.pending.end();) {
            if (match(*it)) {
                it->status = status;
                it->payload.clear();
                ++file.device->counters.cancelled;
                file.completed.push_back(std::move(*it));
                it = file.pending.erase(it);
            } else {
                ++it;
            }
        }
        changed_.notify_all();
    }

    void CancelAll(OpenFile& file, int status) {
        Cancel(file, status, [](const Pending&) { return true; });
    }

    int Reap(OpenFile& file, void** context, bool wait, std::unique_lock<std::mutex>& lock) {
        for (;;) {
            Advance(file, Clock::now());
            if (!file.completed.empty()) {
                Pending done = std::move(file.completed.front());
                file.completed.pop_front();
                usbdevfs_urb* urb = done.user;
                const std::size_t length =
                    std::min(done.payload.size(), static_cast<std::size_t>(std::max(urb->buffer_length, 0)));
                if (length > 0) {
                    std::memcpy(urb->buffer, done.payload.data(), length);
                }
                urb->actual_length = static_cast<int>(length);
                urb->status = done.status;
                *context = urb;
                if ((done.endpoint & 0x80) != 0 && done.status == 0) {
                    ++file.device->counters.completed;
                    Note(*file.device, "complete " + Hex(done.endpoint) + " " + std::to_string(length));
                }
                return 0;
            }
            if (file.dead) {
                return Fail(ENODEV);
            }
            // Unlike the kernel, a blocking reap with nothing submitted answers at once rather than
            // hanging the test that asked.
            if (!wait || file.pending.empty()) {
                return Fail(EAGAIN);
            }
            changed_.wait_until(lock, file.pending.front().due);
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::string root_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::vector<std::unique_ptr<Device>>
        retired_;                           // devices of earlier descriptions, still named by open files
    std::map<std::string, Device*> byName_; // the files there are now
    std::map<int, int> lastAddress_;        // by bus: the address it handed out last
    std::string sysfs_;                     // where the sysfs entries go; empty: nowhere
    std::map<int, std::unique_ptr<OpenFile>> files_;
    std::deque<std::string> journal_;
};

// The description named by $USB_BENCH_DEVICES is loaded as the library is, so that a program started
// with the bench preloaded finds its devices without knowing of the bench.
__attribute__((constructor)) void LoadFromEnvironment() {
    const char* path = std::getenv("USB_BENCH_DEVICES");
    if (path == nullptr || *path == '\0') {
        return;
    }
    std::string text;
    if (FILE* file = std::fopen(path, "r")) {
        char chunk[4096];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            text.append(chunk, got);
        }
        std::fclose(file);
    } else {
        std::fprintf(stderr, "usbbench: cannot read %s: %s\n", path, std::strerror(errno));
        std::_Exit(2);
    }
    std::string error;
    if (!Bench::Instance().Load(text, error)) {
        std::fprintf(stderr, "usbbench: %s: %s\n", path, error.c_str());
        std::_Exit(2);
    }
}

int OpenCommon(const char* path, int flags, mode_t mode, bool hasMode) {
    // A path outside the emulated tree goes straight to the system, touching nothing of the bench: a
    // sanitizer opens files (its program, to symbolize a report) from inside its own runtime, where
    // code of the bench that takes its locks would be reported in turn, and hang the report.
    const char* root = std::getenv("USB_DEVFS_PATH");
    if (root == nullptr || path == nullptr || std::strncmp(path, root, std::strlen(root)) != 0) {
        return hasMode ? RealOpen()(path, flags, mode) : RealOpen()(path, flags);
    }
    if (Bench::Instance().InTree(path)) {
        return Bench::Instance().Open(path, flags);
    }
    return hasMode ? RealOpen()(path, flags, mode) : RealOpen()(path, flags);
}

} // namespace
} // namespace usbbench

using usbbench::Bench;

extern "C" {

int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    const bool hasMode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    if (hasMode) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    return usbbench::OpenCommon(path, flags, mode, hasMode);
}

// The same function under its large-file name, which 32-bit callers and some libraries use.
int open64(const char* path, int flags, ...) __attribute__((alias("open")));

int openat(int directory, const char* path, int flags, ...) {
    mode_t mode = 0;
    const bool hasMode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    if (hasMode) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    // The tree's root is absolute, so only an absolute path can name it; a relative one is another file.
    if (Bench::Instance().InTree(path)) {
        return Bench::Instance().Open(path, flags);
    }
    using OpenatFn = int (*)(int, const char*, int, ...);
    static const auto real = usbbench::RealFunction<OpenatFn>("openat");
    return hasMode ? real(directory, path, flags, mode) : real(directory, path, flags);
}

int close(int fd) {
    if (usbbench::IsEmulated(fd)) {
        Bench::Instance().Close(fd);
    }
    return usbbench::RealClose()(fd);
}

ssize_t read(int fd, void* buffer, size_t count) {
    if (usbbench::IsEmulated(fd)) {
        return Bench::Instance().Read(fd, buffer, count);
    }
    static const auto real = usbbench::RealFunction<usbbench::ReadFn>("read");
    return real(fd, buffer, count);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if (usbbench::IsEmulated(fd)) {
        return Bench::Instance().Ioctl(fd, request, argument);
    }
    static const auto real = usbbench::RealFunction<usbbench::IoctlFn>("ioctl");
    return real(fd, request, argument);
}

int select(int nfds, fd_set* readable, fd_set* writable, fd_set* exceptional, timeval* timeout) {
    for (int fd = 0; fd < nfds && fd < usbbench::kMaxFd; ++fd) {
        if (((readable != nullptr && FD_ISSET(fd, readable)) ||
             (writable != nullptr && FD_ISSET(fd, writable))) &&
            usbbench::IsEmulated(fd)) {
            return Bench::Instance().Select(nfds, readable, writable, exceptional, timeout);
        }
    }
    static const auto real = usbbench::RealFunction<usbbench::SelectFn>("select");
    return real(nfds, readable, writable, exceptional, timeout);
}

int usbbench_load(const char* description, char* error, size_t error_size) {
    std::string message;
    if (Bench::Instance().Load(description != nullptr ? description : "", message)) {
        return 0;
    }
    if (error != nullptr && error_size > 0) {
        std::snprintf(error, error_size, "%s", message.c_str());
    }
    return -1;
}

size_t usbbench_journal(char* buffer, size_t size) {
    return Bench::Instance().CopyJournal(buffer, size);
}

void usbbench_clear_journal(void) {
    Bench::Instance().ClearJournal();
}

int usbbench_unplug(int bus, int address) {
    return Bench::Instance().SetPlugged(bus, address, false);
}

int usbbench_plug_in(int bus, int address) {
    return Bench::Instance().SetPlugged(bus, address, true);
}

int usbbench_address_at(const char* port) {
    return port == nullptr ? -1 : Bench::Instance().AddressAt(port);
}

int usbbench_read_counters(int bus, int address, struct usbbench_counters* counters) {
    return counters == nullptr ? -1 : Bench::Instance().CopyCounters(bus, address, counters);
}

} // extern "C"
