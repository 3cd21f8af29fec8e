#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "diagnostics/failures.h"

namespace kestavo::test {
namespace {

std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

TEST(Failures, EachIsCountedAndARepeatIsPrintedOnceAMinute) {
    testing::internal::CaptureStderr();
    for (int i = 0; i < 1000; ++i) {
        diagnostics::ReportFailure("accepting a client", EMFILE);
    }
    diagnostics::ReportFailure("setting an option", EINVAL);
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(diagnostics::FailureCount(), 1001U);
    EXPECT_EQ(Occurrences(printed, "kestavo: accepting a client failed: Too many open files\n"), 1U)
        << printed;
    EXPECT_EQ(Occurrences(printed, "kestavo: setting an option failed: Invalid argument\n"), 1U) << printed;
}

} // namespace
} // namespace kestavo::test
