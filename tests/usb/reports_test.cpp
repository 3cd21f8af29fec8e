#include <string>

#include <gtest/gtest.h>

#include "usb/reports.h"

namespace kestavo::usb {
namespace {

class Reports : public ::testing::Test {
protected:
    Reports() {
        side.endpoint.bEndpointAddress = 0x81;
        side.endpoint.bmAttributes = USB_ENDPOINT_TYPE_BULK;
        side.endpoint.wMaxPacketSize = 64;
    }

    // The side's report once its statistics started at tick 5000 and counted total bytes until
    // elapsed milliseconds later.
    std::string Counted(std::int64_t total, std::uint32_t elapsed, std::int32_t transfers = 1) {
        side.statistics.firstTick = 5000;
        side.statistics.lastTick = 5000 + elapsed;
        side.statistics.totalBytes = total;
        side.statistics.transferCount = transfers;
        return EndpointReport(side);
    }

    TestParams params;
    TransferContext side{params, 6};
};

TEST_F(Reports, TestInformationWithTheDefaults) {
    params.vendorId = 1234;
    params.productId = 5678;
    EXPECT_EQ(TestInformationReport(params), "Loop Test Information\r\n"
                                             "Vid / Pid\t\t: 04D2h / 162Eh\r\n"
                                             "Interface #\t: 00h\r\n"
                                             "Priority\t\t: 0\r\n"
                                             "Buffer Size\t: 4096\r\n"
                                             "Buffer Count\t: 1\r\n"
                                             "Display Refresh\t: 1000 (ms)\r\n"
                                             "Transfer Timeout\t: 30000 (ms)\r\n"
                                             "Retry Count\t: 0\r\n"
                                             "Verify Data\t: Off\r\n");
    params.testType = 1;
    params.verify = 1;
    params.verifyDetailed = 1;
    const std::string text = TestInformationReport(params);
    EXPECT_EQ(text.substr(0, text.find('\r')), "Read Test Information");
    EXPECT_NE(text.find("Verify Data\t: On (Detailed)\r\n"), std::string::npos);
}

TEST_F(Reports, AnEndpointShowsOnlyItsHeaderUntilItsStatisticsStart) {
    EXPECT_EQ(EndpointReport(side), "Bulk Read (Ep81h) max packet size: 64\r\n");
    side.endpoint.bEndpointAddress = 0x02;
    side.endpoint.bmAttributes = USB_ENDPOINT_TYPE_INTERRUPT;
    side.endpoint.wMaxPacketSize = 512;
    EXPECT_EQ(EndpointReport(side), "Interrupt Write (Ep02h) max packet size: 512\r\n");
}

TEST_F(Reports, TotalsAreScaledAtEachPowerOf1024) {
    const auto totalLine = [&](std::int64_t total) {
        const std::string report = Counted(total, 1000);
        const std::size_t start = report.find("\tTotal Bytes");
        return report.substr(start, report.find("\r\n", start) - start);
    };
    EXPECT_EQ(totalLine(1024), "\tTotal Bytes     : 1024");
    EXPECT_EQ(totalLine(1025), "\tTotal Bytes     : 1.00kB");
    EXPECT_EQ(totalLine(1048576), "\tTotal Bytes     : 1024.00kB");
    EXPECT_EQ(totalLine(1048577), "\tTotal Bytes     : 1.00MB");
    EXPECT_EQ(totalLine(1073741825), "\tTotal Bytes     : 1.00GB");
    EXPECT_EQ(totalLine(5LL * 1073741824), "\tTotal Bytes     : 5.00GB") << "past 32 bits";
}

TEST_F(Reports, RateAndElapsedTimeRunFromTheFirstCountedTransfer) {
    EXPECT_EQ(Counted(20480, 2000, 5), "Bulk Read (Ep81h) max packet size: 64\r\n"
                                       "\tTotal Bytes     : 20.00kB\r\n"
                                       "\tTotal Transfers : 5\r\n"
                                       "\tAvg. Bytes/sec  : 10.00kbps\r\n"
                                       "\tElapsed Time    : 2.00 seconds\r\n");
    EXPECT_DOUBLE_EQ(AverageRate(side), 10240.0);

    // Right after the restart: no time has passed, so no rate and no elapsed line.
    EXPECT_EQ(Counted(0, 0, 0), "Bulk Read (Ep81h) max packet size: 64\r\n"
                                "\tTotal Bytes     : 0\r\n"
                                "\tTotal Transfers : 0\r\n"
                                "\tAvg. Bytes/sec  : 0.00bps\r\n");
    EXPECT_NE(Counted(3 * 1048576, 1000).find("\tAvg. Bytes/sec  : 3.00Mbps\r\n"), std::string::npos);
    EXPECT_NE(Counted(500, 1000).find("\tAvg. Bytes/sec  : 500.00bps\r\n"), std::string::npos);
}

TEST_F(Reports, FiguresSurviveTheTickCountWrappingRound) {
    side.statistics.firstTick = 0xFFFFFC18; // 1000 ms before the wrap
    side.statistics.lastTick = 1000;
    side.statistics.totalBytes = 4096;
    EXPECT_DOUBLE_EQ(AverageRate(side), 2048.0);
    EXPECT_NE(EndpointReport(side).find("\tElapsed Time    : 2.00 seconds\r\n"), std::string::npos);
}

TEST_F(Reports, ErrorLinesFollowTheTransfersLineOnlyWhenTheyCount) {
    side.statistics.timeoutErrors = 2;
    EXPECT_NE(Counted(64, 1000, 3).find("\tTotal Transfers : 3\r\n\tTimeout Errors  : 2\r\n\tAvg."),
              std::string::npos);
    side.statistics.otherErrors = 1;
    EXPECT_NE(Counted(64, 1000, 3).find("\tTimeout Errors  : 2\r\n\tOther Errors    : 1\r\n\tAvg."),
              std::string::npos);
    side.statistics.timeoutErrors = 0;
    EXPECT_NE(Counted(64, 1000, 3).find("\tTotal Transfers : 3\r\n\tOther Errors    : 1\r\n"),
              std::string::npos);
}

TEST(DataRate, PacketsInTwoSecondsBecomePacketsPerSecond) {
    EXPECT_EQ(DataRateText(50), "25.00");
    EXPECT_EQ(DataRateText(1), "0.50");
    EXPECT_EQ(DataRateText(0), "0.00");
}

} // namespace
} // namespace kestavo::usb
