// Frames of the agent protocol (AgentProtocol.fbs): a 4-byte little-endian length, then that many
// bytes holding one FlatBuffer whose root is an Envelope.
//
// The other end is outside input. The reader refuses a length past its limit before it reads
// the frame, and a frame's message is verified whole (every offset, vector and string inside
// the frame, a bounded nesting) before any field of it is read.
#pragma once

#include "AgentProtocol_generated.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace platform::remote {

// Raised with every change to the messages; both ends speak only their own.
constexpr std::uint32_t kProtocolVersion = 3;

// The largest frame either end takes. The largest message is a server listing; a frame past
// this is an end that has gone wrong, not a big computer.
constexpr std::size_t kMaxFrameSize = std::size_t{64} << 20;

// The bytes of one frame: the length, then the builder's finished buffer.
std::vector<std::uint8_t> frameOf(const flatbuffers::FlatBufferBuilder& builder);

// Cuts a byte stream into frames. Any thread, one at a time.
class FrameReader {
public:
    explicit FrameReader(std::size_t maxFrameSize = kMaxFrameSize) : _maxFrameSize(maxFrameSize) {}

    // Takes the bytes as they came. false once a length past the limit was announced (the
    // stream cannot be followed after it); error() tells it.
    bool feed(const std::uint8_t* bytes, std::size_t count);
    // The next whole frame's content (without its length), in order; none when it is not all here.
    std::optional<std::vector<std::uint8_t>> next();
    const std::string& error() const { return _error; }
    // Bytes of a frame begun but not ended: a stream that ends with some was cut.
    bool midFrame() const { return !_pending.empty() || _lengthBytes > 0; }

private:
    std::size_t _maxFrameSize;
    std::deque<std::vector<std::uint8_t>> _frames;
    std::vector<std::uint8_t> _pending;   // the frame being read
    std::uint32_t _length = 0;            // of the frame being read, once its length is whole
    unsigned _lengthBytes = 0;            // bytes of the length read so far (4: it is whole)
    std::string _error;
};

// The verified message of a frame's content; null, with the reason in error, when the bytes are
// not a message of this protocol (a body this version does not know among them). The message
// points into frame.
const tagvista::agent::Envelope* messageOf(const std::vector<std::uint8_t>& frame, std::string& error);

// The name of a body type, for texts.
const char* bodyName(tagvista::agent::Body type);

} // namespace platform::remote
