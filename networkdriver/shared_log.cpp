#include "networkdriver/shared_log.h"

#include <algorithm>

namespace networkdriver {
namespace {

// Blocks every reader has passed are kept for reuse, up to this many.
constexpr std::size_t kSpareBlocks = 16;

// Not value-initialised: every byte is written before it is sent.
std::shared_ptr<Block> NewBlockOnHeap() {
    return std::shared_ptr<Block>(new Block);
}

} // namespace

SharedLog::Stretch SharedLog::From(std::uint64_t from) const {
    Stretch stretch;
    if (head_ <= from) {
        return stretch;
    }
    stretch.size = static_cast<std::size_t>(head_ - from);
    stretch.offset = static_cast<std::size_t>((from - base_) % kBlockSize);
    const auto first = static_cast<std::size_t>((from - base_) / kBlockSize);
    const auto last = static_cast<std::size_t>((head_ - 1 - base_) / kBlockSize);
    stretch.blocks.assign(blocks_.begin() + static_cast<std::ptrdiff_t>(first),
                          blocks_.begin() + static_cast<std::ptrdiff_t>(last) + 1);
    return stretch;
}

std::size_t SharedLog::Gather(std::uint64_t from, iovec* gathered, int& count, int most,
                              std::vector<std::shared_ptr<Block>>& holding) const {
    std::size_t total = 0;
    auto at = static_cast<std::size_t>(from - base_);
    auto left = static_cast<std::size_t>(head_ - from);
    while (left > 0 && count < most) {
        const std::shared_ptr<Block>& block = blocks_[at / kBlockSize];
        const std::size_t part = std::min(left, kBlockSize - at % kBlockSize);
        gathered[count++] = {block->bytes + at % kBlockSize, part};
        total += part;
        holding.push_back(block);
        at += part;
        left -= part;
    }
    return total;
}

void SharedLog::NewBlock(std::uint64_t needed) {
    while (!blocks_.empty() && base_ + kBlockSize <= needed) {
        // A block a reader's piece or a write in progress still holds is not reused.
        if (blocks_.front().use_count() == 1 && spare_.size() < kSpareBlocks) {
            spare_.push_back(std::move(blocks_.front()));
        }
        blocks_.pop_front();
        base_ += kBlockSize;
    }
    if (spare_.empty()) {
        blocks_.push_back(NewBlockOnHeap());
    } else {
        blocks_.push_back(std::move(spare_.back()));
        spare_.pop_back();
    }
}

} // namespace networkdriver
