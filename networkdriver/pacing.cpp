#include "networkdriver/pacing.h"

#include <algorithm>

namespace networkdriver {

std::uint64_t Pacing::PacedBase(std::vector<std::uint64_t>& bases, std::uint64_t head) {
    if (bases.empty()) {
        return head;
    }
    // Never the one furthest behind of several: a single slow client holds nobody back.
    const std::size_t passed =
        std::max(bases.size() / kPacedShare, std::min<std::size_t>(bases.size() - 1, 1));
    const auto share = bases.begin() + static_cast<std::ptrdiff_t>(passed);
    std::nth_element(bases.begin(), share, bases.end());
    return *share;
}

} // namespace networkdriver
