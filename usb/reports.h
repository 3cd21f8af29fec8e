#pragma once

#include <cstdint>
#include <string>

#include "usb/test_params.h"
#include "usb/transfer.h"

// The texts the operator reads about a connection. Lines end in "\r\n".
namespace kestavo::usb {

// The ten lines on the transfer parameters.
std::string TestInformationReport(const TestParams& params);

// One side's block: its endpoint, then, once its statistics have started, what it counted. The caller
// holds StatisticsLock() while the worker runs.
std::string EndpointReport(const TransferContext& context);

// Bytes per second over the counted time; 0 before any time has passed or any byte was counted.
double AverageRate(const TransferContext& context);

// The data-rate readout for the packets relayed in one two-second period.
std::string DataRateText(std::int32_t packetsInTwoSeconds);

} // namespace kestavo::usb
