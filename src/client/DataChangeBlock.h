// Reads a data-change block of the DA 1.0 stream format ("OPCSTMFORMATDATATIME", and the
// variant without time stamps) with every read checked against the block's size. Values are
// rebuilt into real VARIANTs: strings become BSTRs, arrays SAFEARRAYs. Any thread.
//
// Layout (little-endian, packed, no alignment):
//   group header, 20 bytes: dwSize @0, dwItemCount @4, hClientGroup @8, dwTransactionID @12,
//     hrStatus @16 (an HRESULT).
//   item headers from offset 20, 20 bytes each (12 without time stamps): hClient @0,
//     dwValueOffset @4 (from the start of the block), wQuality @8, wReserved @10,
//     ftTimeStampItem @12 (low 32 bits, then high 32 bits).
//   value records at their dwValueOffset: a 16-byte VARIANT image (type tag @0, value @8; a
//     DECIMAL fills all 16 bytes). A VT_BSTR continues with a 4-byte byte count (terminator
//     excluded), the UTF-16LE characters and two zero bytes. A one-dimensional VT_ARRAY continues
//     with a 24-byte SAFEARRAY image (cDims @0, fFeatures @2, cbElements @4, cLocks @8, pvData @12,
//     cElements @16, lLbound @20) and the elements; string elements are packed like VT_BSTR
//     values, and some servers put a table of 4-byte pointers before them, which the record's
//     length tells apart. Pointer fields mean nothing here and are never followed.
#pragma once

#include "platform/Time.h"
#include "platform/Variant.h"

#include <cstddef>
#include <cstdint>

class DataChangeBlock {
public:
    static constexpr std::size_t kGroupHeaderSize = 20;

    // data must stay valid while the reader is used; withTimeStamps selects the 20-byte headers.
    DataChangeBlock(const void* data, std::size_t size, bool withTimeStamps = true);

    // False when not even the group header fits; then every field reads 0.
    bool valid() const { return _size >= kGroupHeaderSize; }
    std::uint32_t declaredSize() const { return headerField(0); }
    std::uint32_t itemCount() const { return headerField(4); }
    std::uint32_t clientGroup() const { return headerField(8); }
    std::uint32_t transactionId() const { return headerField(12); }
    HRESULT status() const { return static_cast<HRESULT>(headerField(16)); }
    // How many of the announced item headers lie wholly inside the block.
    std::uint32_t headersThatFit() const;

    struct ItemHeader {
        std::uint32_t clientHandle = 0;
        std::uint32_t valueOffset = 0;
        WORD quality = 0;
        FILETIME timeStamp{0, 0};
    };
    // False when header i does not lie inside the block.
    bool itemHeader(std::uint32_t i, ItemHeader& header) const;

    enum class Value {
        Ok,           // out holds the value (the caller clears it)
        DoesNotFit,   // the record runs past the end of the block
        Unsupported,  // a type whose data cannot travel in the block (pointers, by-reference,
                      // multi-dimensional arrays, unknown tags)
    };
    // Decodes the record at offset into out (which must be empty). On anything but Ok, out stays
    // empty.
    Value readValue(std::uint32_t offset, VARIANT& out) const;

    // Whether a value is of a kind the stream carries (and so a reader rebuilds): scalars,
    // strings, DECIMAL, and one-dimensional arrays of those or of VARIANTs holding them. Values
    // that reach the client some other way are held to the same rule; only the descriptors are
    // looked at, never the data behind a pointer.
    static bool carries(const VARIANT& value);

private:
    std::uint32_t u32(std::size_t at) const;
    std::uint32_t headerField(std::size_t at) const { return valid() ? u32(at) : 0; }
    // The end of the record that starts at offset: the nearest following record's start or the
    // end of the block.
    std::size_t recordEnd(std::uint32_t offset) const;
    Value readArray(std::size_t at, VARTYPE elementType, std::size_t end, VARIANT& out) const;
    // A string packed as count, characters, terminator; advances at. Null when it does not fit.
    bool readString(std::size_t& at, std::size_t end, BSTR& out) const;
    Value readVariantElement(std::size_t& at, std::size_t end, VARIANT& out) const;

    const unsigned char* _data;
    std::size_t _size;
    std::size_t _headerSize;
};
