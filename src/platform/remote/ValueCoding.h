// VARIANTs on the wire (the agent protocol's Value), both ways: what the DA 2.0 callback and the
// DA 3.0 browser's properties carry. The other end is outside input: a Value is checked whole
// against what it claims before a VARIANT is made of it.
#pragma once

#include "platform/Platform.h"
#include "platform/remote/Frames.h"

namespace platform::remote {

// The largest array a Value makes: more elements than a frame could hold are a lie.
constexpr std::size_t kMaxArrayElements = kMaxFrameSize / 8;

// The Value of a VARIANT. A type that cannot travel (an interface, a reference, a record) gives
// VT_EMPTY and sets travelled to false.
flatbuffers::Offset<tagvista::agent::Value> encodeValue(flatbuffers::FlatBufferBuilder& builder, const VARIANT& value,
                                                       bool& travelled);

// The VARIANT a Value describes, into target (which holds nothing: VariantClear frees what it
// holds afterwards). false, with target VT_EMPTY, for a Value this end cannot make: an unknown
// type, a DECIMAL of the wrong size, bounds that disagree with the elements, an element of
// another type than the array's.
bool decodeValue(const tagvista::agent::Value* value, VARIANT& target);

} // namespace platform::remote
