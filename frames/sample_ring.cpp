#include "frames/sample_ring.h"

#include <algorithm>
#include <bit>

namespace kestavo::frames {

SampleRing::SampleRing(std::size_t capacity)
    : slots_(std::make_unique<Slot[]>(std::bit_ceil(std::max<std::size_t>(capacity, 2)))),
      mask_(std::bit_ceil(std::max<std::size_t>(capacity, 2)) - 1) {}

} // namespace kestavo::frames
