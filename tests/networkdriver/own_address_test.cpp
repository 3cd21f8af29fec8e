#include <arpa/inet.h>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "networkdriver/network_driver.h"

namespace {

TEST(GetOwnAddrString, GivesADottedIpv4Address) {
    char buffer[300];
    std::memset(buffer, 'x', sizeof buffer);
    GetOwnAddrString(buffer, sizeof buffer);
    ASSERT_NE(std::memchr(buffer, '\0', sizeof buffer), nullptr);
    in_addr parsed{};
    EXPECT_EQ(inet_pton(AF_INET, buffer, &parsed), 1) << buffer;
}

TEST(GetOwnAddrString, NeverWritesPastTheBuffer) {
    char full[300];
    GetOwnAddrString(full, sizeof full);
    const std::string address = full;

    for (int size = 1; size <= 4; ++size) {
        char buffer[8];
        std::memset(buffer, 'x', sizeof buffer);
        GetOwnAddrString(buffer, size);
        EXPECT_EQ(std::string(buffer), address.substr(0, static_cast<std::size_t>(size - 1)));
        EXPECT_EQ(buffer[size], 'x') << "size " << size;
    }
    char untouched = 'x';
    GetOwnAddrString(&untouched, 0);
    EXPECT_EQ(untouched, 'x');
}

} // namespace
