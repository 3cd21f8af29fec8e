#include "networkdriver/client_stream.h"

#include <algorithm>
#include <cstring>

namespace networkdriver {

void ClientStream::Join(const SharedLog& log) {
    member_ = true;
    from_ = log.Head();
    fromFrames_ = log.Frames();
}

void ClientStream::CloseStretch(const SharedLog& log) {
    SharedLog::Stretch stretch = log.From(from_);
    if (stretch.size > 0) {
        Piece piece;
        piece.size = stretch.size;
        piece.offset = stretch.offset;
        piece.blocks = std::move(stretch.blocks);
        pieceBytes_ += piece.size;
        pieces_.push_back(std::move(piece));
    }
    CountStretchFrames(log);
    from_ = log.Head();
}

void ClientStream::CountStretchFrames(const SharedLog& log) {
    frames_ += log.Frames() - fromFrames_;
    fromFrames_ = log.Frames();
}

void ClientStream::Leave(const SharedLog& log) {
    CloseStretch(log);
    member_ = false;
}

void ClientStream::StopFollowing(const SharedLog& log) {
    if (member_) {
        CountStretchFrames(log);
        member_ = false;
    }
}

bool ClientStream::AppendOwn(const SharedLog& log, const unsigned char* data, std::size_t size,
                             Piece& fresh) {
    if (member_) {
        CloseStretch(log); // the log goes on after these bytes
    }
    Piece* const last = pieces_.empty() ? nullptr : &pieces_.back();
    if (last != nullptr && last->Room() >= size) {
        std::memcpy(last->own.get() + last->size, data, size);
        last->size += size;
    } else if (fresh.own) {
        pieces_.push_back(std::move(fresh));
        fresh = {};
    } else {
        return false;
    }
    pieceBytes_ += size;
    ++frames_;
    return true;
}

std::size_t ClientStream::Gather(const SharedLog& log, iovec* gathered, int& count,
                                 std::vector<std::shared_ptr<Block>>& holding) const {
    std::size_t total = 0;
    const auto add = [&](unsigned char* bytes, std::size_t size) {
        gathered[count++] = {bytes, size};
        total += size;
    };
    for (const Piece& piece : pieces_) {
        if (piece.own) {
            if (piece.size > piece.done) {
                add(piece.own.get() + piece.done, piece.size - piece.done);
            }
        } else {
            std::size_t at = piece.offset + piece.done;
            std::size_t left = piece.size - piece.done;
            while (left > 0 && count < kMostGathered) {
                const std::size_t part = std::min(left, kBlockSize - at % kBlockSize);
                add(piece.blocks[at / kBlockSize]->bytes + at % kBlockSize, part);
                at += part;
                left -= part;
            }
        }
        if (count == kMostGathered) {
            return total;
        }
    }
    if (member_) {
        total += log.Gather(from_, gathered, count, kMostGathered, holding);
    }
    return total;
}

void ClientStream::Consume(std::size_t written, std::vector<Piece>& spent) {
    while (written > 0 && !pieces_.empty()) {
        Piece& piece = pieces_.front();
        const std::size_t part = std::min(written, piece.size - piece.done);
        piece.done += part;
        pieceBytes_ -= part;
        written -= part;
        if (piece.done < piece.size) {
            break;
        }
        if (piece.own && pieces_.size() == 1) {
            piece.size = piece.done = 0; // kept for the next bytes of its own; the rest is the log's
            break;
        }
        spent.push_back(std::move(piece));
        pieces_.pop_front();
    }
    if (member_) {
        from_ += written;
    }
}

std::deque<Piece> ClientStream::TakePieces() {
    std::deque<Piece> taken;
    taken.swap(pieces_);
    pieceBytes_ = 0;
    return taken;
}

} // namespace networkdriver
