#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "networkdriver/shared_log.h"

namespace networkdriver {

// The most pieces of a client's stream gathered into one write.
inline constexpr int kMostGathered = 128;
// A client's own bytes (SendData) are queued in pieces of at least this size.
inline constexpr std::size_t kOwnPiece = 4096;

// A stretch of a client's stream that no longer grows with the log: bytes of the client's own, or a
// stretch of the log, held by its blocks.
struct Piece {
    std::unique_ptr<unsigned char[]> own; // the client's own bytes; null for a stretch of the log
    std::size_t capacity = 0;             // of own
    std::vector<std::shared_ptr<Block>> blocks;
    std::size_t offset = 0; // where the stretch starts in its first block
    std::size_t size = 0;   // bytes in the piece
    std::size_t done = 0;   // of them written

    [[nodiscard]] std::size_t Room() const { return own ? capacity - size : 0; }
};

// What one client is still to be sent, in order: its pieces, then, while it follows the log (a member
// of those SendDataToEach sends to), the log from `from` on. Every frame reaches it whole and in call
// order however SendData and SendDataToEach interleave. Not thread-safe: the library's queue lock
// guards it.
class ClientStream {
public:
    [[nodiscard]] bool Member() const { return member_; }
    // Bytes queued and not yet written.
    [[nodiscard]] std::size_t Queued(std::uint64_t head) const {
        return pieceBytes_ + (member_ ? static_cast<std::size_t>(head - from_) : 0);
    }
    // The log position at which its queue would be empty: its stream is this far behind the log.
    [[nodiscard]] std::uint64_t Base() const { return from_ - pieceBytes_; }
    // Where it has got to in the log, as a member.
    [[nodiscard]] std::uint64_t From() const { return from_; }
    // The frames it has taken, those of the log included.
    [[nodiscard]] std::uint64_t FramesSent(const SharedLog& log) const {
        return frames_ + (member_ ? log.Frames() - fromFrames_ : 0);
    }
    [[nodiscard]] bool Empty() const { return pieces_.empty(); }

    // Follows the log from its head on.
    void Join(const SharedLog& log);
    // Stops following the log, keeping what it has not written of it as a piece.
    void Leave(const SharedLog& log);
    // Stops following the log and takes nothing more of it (a client dropped).
    void StopFollowing(const SharedLog& log);
    // The client's own bytes after all it has queued. False when they fit in no piece at hand and need
    // `fresh`, filled with them by the caller (outside its lock) and given again.
    bool AppendOwn(const SharedLog& log, const unsigned char* data, std::size_t size, Piece& fresh);
    // What it has waiting, as buffers (kMostGathered at most); the log's blocks they read are held
    // until the write ends. Gives the bytes.
    std::size_t Gather(const SharedLog& log, iovec* gathered, int& count,
                       std::vector<std::shared_ptr<Block>>& holding) const;
    // Takes the bytes written off its front; the pieces done with go to spent, to free outside the lock.
    void Consume(std::size_t written, std::vector<Piece>& spent);
    // Everything it had queued, to free outside the lock; it is empty after.
    std::deque<Piece> TakePieces();

private:
    void CloseStretch(const SharedLog& log);
    void CountStretchFrames(const SharedLog& log);

    bool member_ = false;
    std::uint64_t from_ = 0;       // the log position its stream has reached, as a member
    std::uint64_t fromFrames_ = 0; // the log's frame count when it became a member
    std::deque<Piece> pieces_;
    std::size_t pieceBytes_ = 0; // not yet written, in pieces
    std::uint64_t frames_ = 0;   // frames taken, but those of the log since it became a member
};

} // namespace networkdriver
