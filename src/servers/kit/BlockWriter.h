// Encodes the data-change block of the DA 1.0 stream formats ("OPCSTMFORMATDATATIME" and
// "OPCSTMFORMATDATA") from item values, for the servers' update threads and for tests and
// benchmarks of the client that need blocks made the way a server makes them.
//
// The block is little-endian and packed without any padding; every field is written with
// memcpy, so nothing assumes alignment. Layout, offsets from the start of the block:
//
//   group header, 20 bytes
//     @0  dwSize           DWORD    bytes of the whole block (headers and value records)
//     @4  dwItemCount      DWORD    number of item headers that follow
//     @8  hClientGroup     DWORD    the client's handle of the group
//     @12 dwTransactionID  DWORD    0 for subscription data
//     @16 hrStatus         HRESULT  S_OK, or S_FALSE when any item's quality is not good
//   item headers, one per item, 20 bytes with time stamps (12 without)
//     @0  hClient          DWORD    the client's handle of the item
//     @4  dwValueOffset    DWORD    where the item's value record starts, from the block start
//     @8  wQuality         WORD     OPC quality word
//     @10 wReserved        WORD     0
//     @12 ftTimeStampItem  FILETIME UTC, low DWORD then high DWORD (time-stamped format only)
//   value records, one per item in header order, back to back
//     VARIANT image, 16 bytes (the 32-bit layout):
//       @0 vt (WORD), @2..@7 the three reserved words (0), @8..@15 the value: as many bytes as
//       the type holds (1 for VT_I1/VT_UI1, 2 for VT_I2/VT_UI2/VT_BOOL, 4 for VT_I4/VT_UI4/
//       VT_INT/VT_UINT/VT_R4/VT_ERROR, 8 for VT_I8/VT_UI8/VT_R8/VT_CY/VT_DATE), the rest 0.
//       Pointer fields (bstrVal, parray) are written as 0. VT_DECIMAL fills all 16 bytes with the
//       DECIMAL whose first word is the type tag.
//     VT_BSTR: then the byte count (DWORD, terminator excluded), the UTF-16LE characters and two
//       zero bytes. A null BSTR is written as count 0 and the two zero bytes.
//     VT_ARRAY | t, one dimension: then a 24-byte SAFEARRAY image
//       @0 cDims (WORD) = 1, @2 fFeatures (WORD, as the array has them), @4 cbElements (DWORD,
//       the 32-bit size: 4 for VT_BSTR elements), @8 cLocks (DWORD) = 0, @12 pvData (DWORD) = 0,
//       @16 cElements (DWORD), @20 lLbound (LONG)
//       and then the elements: fixed-size elements as raw little-endian data, VT_BSTR elements
//       each packed as a string tail above, with no table of pointers before them.
//
// Values the stream cannot carry (by-reference values, interfaces, arrays of VARIANT or of more
// than one dimension, unknown tags) are written as VT_EMPTY with the quality set to BAD, so one
// bad value never spoils the rest of the block.
//
// Thread: a BlockWriter holds no state besides its format; any thread, concurrently.
#pragma once

#include "platform/Memory.h"
#include "platform/OpcDa.h"

#include <cstddef>
#include <span>
#include <vector>

namespace servers::kit {

// One item of a block. The value is borrowed for the duration of the call that gets it.
struct BlockItem {
    OPCHANDLE hClient = 0;
    WORD quality = OPC_QUALITY_GOOD;
    FILETIME timeStamp{};
    const VARIANT* value = nullptr;   // null is written as VT_EMPTY
};

class BlockWriter {
public:
    enum class Format {
        DataTime,   // "OPCSTMFORMATDATATIME": 20-byte item headers with time stamps
        Data,       // "OPCSTMFORMATDATA": 12-byte item headers, no time stamps
    };

    explicit BlockWriter(Format format = Format::DataTime) : _format(format) {}

    Format format() const { return _format; }
    std::size_t itemHeaderSize() const;

    // Bytes of the value record of v: 16 for the VARIANT image plus the string or array tail.
    // False (and 16 in size) for a value the stream cannot carry.
    static bool recordSize(const VARIANT& v, std::size_t& size);
    // Bytes of the whole block for these items.
    std::size_t blockSize(std::span<const BlockItem> items) const;

    // Writes the block into dest, which must hold blockSize(items) bytes; returns the bytes
    // written.
    std::size_t write(std::span<const BlockItem> items, OPCHANDLE hClientGroup, DWORD transactionId,
                      BYTE* dest) const;
    // The block as bytes.
    std::vector<BYTE> build(std::span<const BlockItem> items, OPCHANDLE hClientGroup,
                            DWORD transactionId = 0) const;
    // The block in a global memory block of exactly its size, owned by the caller (GlobalFree);
    // null when the memory cannot be had.
    HGLOBAL buildGlobal(std::span<const BlockItem> items, OPCHANDLE hClientGroup, DWORD transactionId = 0) const;

private:
    Format _format;
};

// Whether the stream can carry a value of this type (see the list above).
bool streamable(VARTYPE vt);

} // namespace servers::kit
