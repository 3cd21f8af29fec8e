#include <random>
#include <unordered_map>

#include <gtest/gtest.h>

#include "networkdriver/handle_index.h"

namespace {

using networkdriver::HandleIndex;

// Random inserts and erases, with handles from a narrow range so that runs collide and wrap round the
// end of the array, always agree with a standard map.
TEST(HandleIndex, AgreesWithAMapThroughCollisionsErasesAndGrowth) {
    HandleIndex<int> index;
    std::unordered_map<std::uint32_t, int*> expected;
    std::vector<int> values(4096);
    std::mt19937 random(7);
    for (int step = 0; step < 200000; ++step) {
        // Mostly sequential handles like the library's, now and then far apart.
        const std::uint32_t handle = step % 7 == 0 ? 1 + random() % 100000 : 1 + random() % 300;
        if (random() % 3 != 0) {
            if (expected.count(handle) == 0) {
                int* value = &values[handle % values.size()];
                index.Insert(handle, value);
                expected[handle] = value;
            }
        } else {
            index.Erase(handle);
            expected.erase(handle);
        }
        if (step % 1000 == 0) {
            ASSERT_EQ(index.Size(), expected.size());
            for (std::uint32_t probe = 0; probe <= 320; ++probe) {
                const auto found = expected.find(probe);
                ASSERT_EQ(index.Find(probe), found == expected.end() ? nullptr : found->second) << probe;
            }
        }
    }
    for (const auto& [handle, value] : expected) {
        EXPECT_EQ(index.Find(handle), value);
    }
    EXPECT_EQ(index.Find(0), nullptr);
}

} // namespace
