#include "usb/reports.h"

#include <array>
#include <cinttypes>

#include "usb/printf.h"

namespace kestavo::usb {

namespace {

constexpr std::array<const char*, 4> kTestTypeNames{"None", "Read", "Write", "Loop"};
constexpr std::array<const char*, 4> kTransferTypeNames{"Control", "Isochronous", "Bulk", "Interrupt"};

constexpr double kKiB = 1024.0;
constexpr double kMiB = 1048576.0;
constexpr double kGiB = 1073741824.0;

} // namespace

std::string TestInformationReport(const TestParams& params) {
    std::string text = Printf("%s Test Information\r\n", kTestTypeNames[params.testType & 3]);
    text += Printf("Vid / Pid\t\t: %04Xh / %04Xh\r\n", params.vendorId, params.productId);
    text += Printf("Interface #\t: %02Xh\r\n", params.interfaceNumber);
    text += Printf("Priority\t\t: %d\r\n", params.priority);
    text += Printf("Buffer Size\t: %d\r\n", params.bufferSize);
    text += Printf("Buffer Count\t: %d\r\n", params.bufferCount);
    text += Printf("Display Refresh\t: %d (ms)\r\n", params.displayRefreshMs);
    text += Printf("Transfer Timeout\t: %d (ms)\r\n", params.transferTimeoutMs);
    text += Printf("Retry Count\t: %d\r\n", params.retryCount);
    text += Printf("Verify Data\t: %s%s\r\n", params.verify != 0 ? "On" : "Off",
                   params.verify != 0 && params.verifyDetailed != 0 ? " (Detailed)" : "");
    return text;
}

namespace {

// The milliseconds counted, taken as an unsigned difference so that the tick count wrapping round
// between the first and the last transfer (every 49.7 days) does not hide the figures.
std::uint32_t Elapsed(const TransferStatistics& statistics) {
    return statistics.lastTick - statistics.firstTick;
}

} // namespace

double AverageRate(const TransferContext& context) {
    const TransferStatistics& statistics = context.statistics;
    const std::uint32_t elapsed = Elapsed(statistics);
    if (elapsed != 0 && statistics.totalBytes != 0) {
        return static_cast<double>(statistics.totalBytes) / (elapsed / 1000.0);
    }
    return 0.0;
}

std::string EndpointReport(const TransferContext& context) {
    const usb_endpoint_descriptor& endpoint = context.endpoint;
    std::string text =
        Printf("%s %s (Ep%02Xh) max packet size: %d\r\n", kTransferTypeNames[endpoint.bmAttributes & 3],
               (endpoint.bEndpointAddress & 0x80) != 0 ? "Read" : "Write", endpoint.bEndpointAddress,
               endpoint.wMaxPacketSize);
    const TransferStatistics& statistics = context.statistics;
    if (statistics.firstTick == 0) {
        return text;
    }

    const std::int64_t total = statistics.totalBytes;
    if (total > 1073741824) {
        text += Printf("\tTotal Bytes     : %3.2fGB\r\n", static_cast<double>(total) / kGiB);
    } else if (total > 1048576) {
        text += Printf("\tTotal Bytes     : %3.2fMB\r\n", static_cast<double>(total) / kMiB);
    } else if (total > 1024) {
        text += Printf("\tTotal Bytes     : %3.2fkB\r\n", static_cast<double>(total) / kKiB);
    } else {
        text += Printf("\tTotal Bytes     : %" PRId64 "\r\n", total);
    }
    text += Printf("\tTotal Transfers : %d\r\n", statistics.transferCount);
    if (statistics.timeoutErrors != 0) {
        text += Printf("\tTimeout Errors  : %d\r\n", statistics.timeoutErrors);
    }
    if (statistics.otherErrors != 0) {
        text += Printf("\tOther Errors    : %d\r\n", statistics.otherErrors);
    }

    const double rate = AverageRate(context);
    if (rate > kMiB) {
        text += Printf("\tAvg. Bytes/sec  : %.2fMbps\r\n", rate / kMiB);
    } else if (rate > kKiB) {
        text += Printf("\tAvg. Bytes/sec  : %.2fkbps\r\n", rate / kKiB);
    } else {
        text += Printf("\tAvg. Bytes/sec  : %.2fbps\r\n", rate);
    }
    if (Elapsed(statistics) != 0) {
        text +=
            Printf("\tElapsed Time    : %.2f seconds\r\n", static_cast<double>(Elapsed(statistics)) / 1000.0);
    }
    return text;
}

std::string DataRateText(std::int32_t packetsInTwoSeconds) {
    return Printf("%2.2f", packetsInTwoSeconds * 0.5);
}

} // namespace kestavo::usb
