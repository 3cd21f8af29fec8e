#pragma once

#include <atomic>
#include <cstdint>

#include <usb.h>

namespace kestavo::usb {

// The one set of transfer parameters, held by the window. Open fills in the device; nothing changes the
// sizes, timeouts and flags after construction.
struct TestParams {
    std::int32_t vendorId = 1234;
    std::int32_t productId = 5678;
    std::int32_t interfaceNumber = 0;
    std::int32_t endpointAddress = 0;
    std::int32_t displayRefreshMs = 1000;
    std::int32_t transferTimeoutMs = 30000;
    std::int32_t retryCount = 0;
    std::int32_t bufferSize = 4096;
    std::int32_t bufferCount = 1;
    std::int32_t priority = 0;
    std::int32_t verify = 0;
    std::int32_t verifyDetailed = 0;
    std::int32_t testType = 3; // 0 None, 1 Read, 2 Write, 3 Loop
    std::int32_t isochronous = 0;
    usb_dev_handle* deviceHandle = nullptr;
    struct usb_device* device = nullptr;
    // Read by the worker threads while the window thread sets it.
    std::atomic<std::int32_t> stopRequest{0};
};

} // namespace kestavo::usb
