#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <sys/uio.h>
#include <vector>

namespace networkdriver {

inline constexpr std::size_t kBlockSize = 64 * 1024;

struct Block {
    unsigned char bytes[kBlockSize];
};

// What SendDataToEach sends, kept once for every client it names, in blocks of 64 KiB that the clients'
// streams refer to. Positions count its bytes from an origin far enough from zero that a position less
// a queue's worth of bytes never wraps; the blocks hold [Base(), Base() + blocks * kBlockSize), and
// Head() is its end. Blocks nobody needs any more are kept for reuse, up to a few. Not thread-safe: its
// owner's lock guards it.
class SharedLog {
public:
    static constexpr std::uint64_t kOrigin = std::uint64_t{1} << 32;

    [[nodiscard]] std::uint64_t Head() const { return head_; }
    [[nodiscard]] std::uint64_t Base() const { return base_; }
    // The frames appended so far.
    [[nodiscard]] std::uint64_t Frames() const { return frames_; }
    [[nodiscard]] std::size_t Blocks() const { return blocks_.size(); }

    // Appends one frame. When it needs a new block, the log first lets go of the blocks wholly before
    // needed() (the oldest position a reader still needs): once a block's worth of frames, so that the
    // walk needed() makes is cheap.
    template <typename Needed> void Append(const unsigned char* data, std::size_t size, Needed&& needed) {
        while (size > 0) {
            if (head_ == base_ + blocks_.size() * kBlockSize) {
                NewBlock(needed());
            }
            const auto offset = static_cast<std::size_t>((head_ - base_) % kBlockSize);
            const std::size_t part = std::min(size, kBlockSize - offset);
            std::memcpy(blocks_.back()->bytes + offset, data, part);
            head_ += part;
            data += part;
            size -= part;
        }
        ++frames_;
    }

    // The blocks that hold [from, Head()), and where the stretch starts in the first: for a reader that
    // stops following the log and keeps what it has not read yet.
    struct Stretch {
        std::vector<std::shared_ptr<Block>> blocks;
        std::size_t offset = 0;
        std::size_t size = 0;
    };
    [[nodiscard]] Stretch From(std::uint64_t from) const;

    // Adds buffers for [from, Head()) to gathered (up to most in all), and holds each block they read
    // until the write that uses them ends. Gives the bytes added.
    std::size_t Gather(std::uint64_t from, iovec* gathered, int& count, int most,
                       std::vector<std::shared_ptr<Block>>& holding) const;

private:
    void NewBlock(std::uint64_t needed);

    std::deque<std::shared_ptr<Block>> blocks_;
    std::uint64_t base_ = kOrigin;
    std::uint64_t head_ = kOrigin;
    std::uint64_t frames_ = 0;
    std::vector<std::shared_ptr<Block>> spare_;
};

} // namespace networkdriver
