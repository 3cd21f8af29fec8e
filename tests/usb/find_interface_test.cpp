#include <vector>

#include <gtest/gtest.h>

#include "usb/device_list.h"

namespace kestavo::usb {
namespace {

// A configuration descriptor as the USB library lays it out: interfaces, each with its alternate
// settings. An entry of -1 stands for an interface without any alternate setting.
class Configuration {
public:
    explicit Configuration(const std::vector<int>& interfaceNumbers) {
        settings_.reserve(interfaceNumbers.size());
        for (const int number : interfaceNumbers) {
            usb_interface_descriptor setting{};
            setting.bInterfaceNumber = static_cast<std::uint8_t>(number < 0 ? 0 : number);
            settings_.push_back(setting);
        }
        for (std::size_t i = 0; i < interfaceNumbers.size(); ++i) {
            usb_interface entry{};
            entry.altsetting = &settings_[i];
            entry.num_altsetting = interfaceNumbers[i] < 0 ? 0 : 1;
            interfaces_.push_back(entry);
        }
        config_.bNumInterfaces = static_cast<std::uint8_t>(interfaces_.size());
        config_.interface = interfaces_.empty() ? nullptr : interfaces_.data();
    }

    usb_config_descriptor* Get() { return &config_; }
    usb_interface_descriptor* Setting(std::size_t index) { return &settings_[index]; }

private:
    std::vector<usb_interface_descriptor> settings_;
    std::vector<usb_interface> interfaces_;
    usb_config_descriptor config_{};
};

TEST(FindInterface, FindsByNumberAndOffersTheFirstUsableAsFallback) {
    Configuration config({1, 2});
    usb_interface_descriptor* fallback = nullptr;

    EXPECT_EQ(FindInterface(config.Get(), 0, &fallback), nullptr);
    EXPECT_EQ(fallback, config.Setting(0));

    EXPECT_EQ(FindInterface(config.Get(), 2, &fallback), config.Setting(1));
    EXPECT_EQ(fallback, config.Setting(0));

    EXPECT_EQ(FindInterface(config.Get(), 1), config.Setting(0));
}

TEST(FindInterface, InterfacesWithoutAlternateSettingsAreNeitherFoundNorOffered) {
    Configuration config({-1, 3});
    usb_interface_descriptor* fallback = nullptr;
    EXPECT_EQ(FindInterface(config.Get(), 0, &fallback), nullptr);
    EXPECT_EQ(fallback, config.Setting(1));

    Configuration none({-1});
    fallback = config.Setting(1);
    EXPECT_EQ(FindInterface(none.Get(), 0, &fallback), nullptr);
    EXPECT_EQ(fallback, nullptr);
}

TEST(FindInterface, NoConfigurationOrNoInterfacesGivesNothing) {
    usb_interface_descriptor* fallback = nullptr;
    EXPECT_EQ(FindInterface(nullptr, 0, &fallback), nullptr);
    EXPECT_EQ(fallback, nullptr);

    Configuration empty({});
    EXPECT_EQ(FindInterface(empty.Get(), 0, &fallback), nullptr);
    EXPECT_EQ(fallback, nullptr);
}

} // namespace
} // namespace kestavo::usb
