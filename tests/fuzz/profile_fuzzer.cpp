// The profile layer reading whatever a configuration file holds. Beyond not crashing: the settings
// written into any text read back as written, and a number read by ParseInteger prints back to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "config/profile.h"
#include "require.h"

using kestavo::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    using kestavo::config::Profile;

    Profile profile = Profile::Parse(text);
    (void)profile.Find("Velmora", "SocketNo");
    (void)kestavo::config::GetProfileInt(profile, "Velmora", "StoreDataToFile", 1);

    profile.Write("Velmora", "SocketNo", "9001");
    profile.Write("velmora", "StoreFilename", "c:\\data\\data.csv");
    const Profile reread = Profile::Parse(profile.Text());
    Require(reread.Find("VELMORA", "socketno") == std::optional<std::string>("9001"));
    Require(reread.Find("Velmora", "StoreFilename") == std::optional<std::string>("c:\\data\\data.csv"));
    Require(kestavo::config::GetProfileInt(reread, "Velmora", "SocketNo", 0) == 9001);

    if (const auto number = kestavo::config::ParseInteger(text)) {
        Require(kestavo::config::ParseInteger(std::to_string(*number)) == number);
    }
    return 0;
}
