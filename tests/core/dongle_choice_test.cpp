#include <string>

#include <gtest/gtest.h>

#include "core/dongle_choice.h"

namespace kestavo::test {
namespace {

TEST(DongleChoice, ReadsIdsWithOrWithoutSerialAndPlaces) {
    std::string error;
    const auto ids = core::ParseDongleChoice("4D2:162e", error);
    ASSERT_TRUE(ids);
    EXPECT_FALSE(ids->byPlace);
    EXPECT_EQ(ids->vendor, 0x04D2U);
    EXPECT_EQ(ids->product, 0x162EU);
    EXPECT_FALSE(ids->serial);
    EXPECT_EQ(core::Describe(*ids), "04d2:162e");

    const auto serial = core::ParseDongleChoice("04d2:162e:SN:7 b", error);
    ASSERT_TRUE(serial && serial->serial);
    EXPECT_EQ(*serial->serial, "SN:7 b") << "the serial is the whole rest";

    const auto place = core::ParseDongleChoice("001/012", error);
    ASSERT_TRUE(place);
    EXPECT_TRUE(place->byPlace);
    EXPECT_EQ(place->bus, 1);
    EXPECT_EQ(place->address, 12);
    EXPECT_EQ(core::Describe(*place), "001/012");

    for (const char* bad :
         {"", "04d2", "04d2:", "12345:1", "xyz:1", "04d2:162e:", "1/", "/2", "1/0", "-1/2", "04d2:+1"}) {
        error.clear();
        EXPECT_FALSE(core::ParseDongleChoice(bad, error)) << bad;
        EXPECT_NE(error.find(bad), std::string::npos) << error;
    }
}

} // namespace
} // namespace kestavo::test
