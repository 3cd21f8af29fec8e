#include "testkit/process.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <unistd.h>

namespace kestavo::testkit {

double CpuSeconds(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double CpuSecondsOfThreadsNamed(const std::string& name) {
    const auto ticksPerSecond = static_cast<double>(::sysconf(_SC_CLK_TCK));
    double seconds = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string comm;
        std::getline(std::ifstream(task.path() / "comm"), comm);
        if (comm != name) {
            continue;
        }
        std::string stat;
        std::getline(std::ifstream(task.path() / "stat"), stat);
        // The fields after the name (which may hold spaces) start after its closing parenthesis; user
        // and system time are the 12th and 13th of them.
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        double ticks = 0;
        for (int i = 1; i <= 13 && fields >> field; ++i) {
            if (i >= 12) {
                ticks += std::atof(field.c_str());
            }
        }
        seconds += ticks / ticksPerSecond;
    }
    return seconds;
}

double PeakResidentMiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

double ResidentMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atof(line.c_str() + 6) / 1024.0;
        }
    }
    return 0;
}

} // namespace kestavo::testkit
