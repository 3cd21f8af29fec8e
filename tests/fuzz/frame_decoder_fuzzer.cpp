// The client program's frame decoder on any byte stream. Beyond not crashing: the stream decodes to the
// same frames and the same verdict however it is cut into pieces, and every sample frame it accepts is
// byte for byte one the relay could have sent.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "frames/frame_decoder.h"
#include "require.h"

namespace {

bool Same(const std::vector<kestavo::frames::DecodedFrame>& a,
          const std::vector<kestavo::frames::DecodedFrame>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
        return x.type == y.type && x.samples == y.samples && x.activeEntry == y.activeEntry &&
               x.activeCode == y.activeCode;
    });
}

} // namespace

using kestavo::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    using kestavo::frames::DecodedFrame;
    using kestavo::frames::FrameDecoder;

    // The first byte chooses how the rest is cut.
    const std::size_t piece = 1 + data[0] % 64;
    const std::uint8_t* stream = data + 1;
    const std::size_t length = size - 1;

    FrameDecoder whole;
    std::vector<DecodedFrame> wholeFrames;
    const bool wholeOk = whole.Feed(stream, length, wholeFrames);

    FrameDecoder pieces;
    std::vector<DecodedFrame> pieceFrames;
    bool piecesOk = true;
    for (std::size_t at = 0; at < length && piecesOk; at += piece) {
        piecesOk = pieces.Feed(stream + at, std::min(piece, length - at), pieceFrames);
    }
    Require(wholeOk == piecesOk);
    Require(Same(wholeFrames, pieceFrames));

    for (const DecodedFrame& frame : wholeFrames) {
        // The relay sends three samples a frame; the format has room for up to 31.
        if (frame.type == kestavo::frames::kSampleFrame && frame.samples.size() == 3) {
            kestavo::frames::SamplePacket packet;
            std::copy(frame.samples.begin(), frame.samples.end(), packet.samples.begin());
            const auto bytes = kestavo::frames::SampleFrame(packet);
            Require(std::search(stream, stream + length, bytes.begin(), bytes.end()) != stream + length);
        }
    }
    return 0;
}
