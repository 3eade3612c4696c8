#include "Frames.h"

#include <cstring>

namespace platform::remote {

std::vector<std::uint8_t> frameOf(const flatbuffers::FlatBufferBuilder& builder)
{
    const std::uint32_t size = builder.GetSize();
    std::vector<std::uint8_t> frame(4 + size);
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<std::uint8_t>(size >> (8 * i));
    std::memcpy(frame.data() + 4, builder.GetBufferPointer(), size);
    return frame;
}

bool FrameReader::feed(const std::uint8_t* bytes, std::size_t count)
{
    if (!_error.empty()) return false;
    while (count > 0) {
        if (_lengthBytes < 4) {
            _length |= static_cast<std::uint32_t>(*bytes) << (8 * _lengthBytes);
            ++_lengthBytes;
            ++bytes;
            --count;
            if (_lengthBytes < 4) continue;
            if (_length > _maxFrameSize) {
                _error = "a frame of " + std::to_string(_length) + " bytes was announced, more than the " +
                         std::to_string(_maxFrameSize) + " taken";
                return false;
            }
            _pending.reserve(_length);
        }
        const std::size_t take = std::min<std::size_t>(count, _length - _pending.size());
        _pending.insert(_pending.end(), bytes, bytes + take);
        bytes += take;
        count -= take;
        if (_pending.size() == _length) {
            _frames.push_back(std::move(_pending));
            _pending = {};
            _length = 0;
            _lengthBytes = 0;
        }
    }
    return true;
}

std::optional<std::vector<std::uint8_t>> FrameReader::next()
{
    if (_frames.empty()) return std::nullopt;
    std::vector<std::uint8_t> frame = std::move(_frames.front());
    _frames.pop_front();
    return frame;
}

const tagvista::agent::Envelope* messageOf(const std::vector<std::uint8_t>& frame, std::string& error)
{
    using namespace tagvista::agent;
    // A message nests three tables deep at most; a deeper or wider one is not of this protocol.
    flatbuffers::Verifier verifier(frame.data(), frame.size(), 16, 1u << 20);
    if (frame.size() < sizeof(flatbuffers::uoffset_t) || !VerifyEnvelopeBuffer(verifier)) {
        error = "a frame of " + std::to_string(frame.size()) + " bytes is not a message of protocol " +
                std::to_string(kProtocolVersion);
        return nullptr;
    }
    const Envelope* message = GetEnvelope(frame.data());
    // The verifier lets a union's unknown member through (newer writers); this protocol has none.
    if (message->body_type() == Body::NONE || message->body_type() > Body::MAX || message->body() == nullptr) {
        error = "a message of unknown kind " + std::to_string(static_cast<unsigned>(message->body_type()));
        return nullptr;
    }
    return message;
}

const char* bodyName(tagvista::agent::Body type)
{
    const char* name = tagvista::agent::EnumNameBody(type);
    return name && *name ? name : "an unknown message";
}

} // namespace platform::remote
