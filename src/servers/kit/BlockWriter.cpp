#include "servers/kit/BlockWriter.h"

#include <bit>
#include <cstring>

namespace servers::kit {

static_assert(std::endian::native == std::endian::little,
              "the block is little-endian and written with plain copies of native values");

namespace {

using opcstream::kGroupHeaderSize;
using opcstream::kItemHeader1Size;
using opcstream::kItemHeader2Size;
using opcstream::kSafeArrayImageSize;
using opcstream::kVariantImageSize;

// A BSTR element is a pointer, 4 bytes in the 32-bit image the stream carries.
constexpr ULONG kBstrElementImageSize = 4;


bool isScalar(VARTYPE vt)
{
    return vt == VT_EMPTY || vt == VT_NULL || vt == VT_DECIMAL || platform::scalarValueSize(vt) != 0;
}

// Element types an array may have in the stream.
bool isArrayElement(VARTYPE vt)
{
    return vt == VT_BSTR || vt == VT_DECIMAL || platform::scalarValueSize(vt) != 0;
}

std::size_t elementSize(VARTYPE vt) { return vt == VT_DECIMAL ? sizeof(DECIMAL) : platform::scalarValueSize(vt); }

std::size_t bstrTailSize(BSTR s) { return 4 + SysStringByteLen(s) + 2; }

void put16(BYTE* p, WORD v) { std::memcpy(p, &v, 2); }
void put32(BYTE* p, DWORD v) { std::memcpy(p, &v, 4); }

BYTE* writeBstrTail(BYTE* p, BSTR s)
{
    const DWORD bytes = SysStringByteLen(s);
    put32(p, bytes);
    if (bytes) std::memcpy(p + 4, s, bytes);
    p[4 + bytes] = 0;
    p[5 + bytes] = 0;
    return p + 6 + bytes;
}

// The array a value holds when the stream can carry it, else null.
SAFEARRAY* streamableArray(const VARIANT& v)
{
    const VARTYPE element = v.vt & VT_TYPEMASK;
    SAFEARRAY* psa = v.parray;
    if (!isArrayElement(element) || !psa || psa->cDims != 1) return nullptr;
    const ULONG count = psa->rgsabound[0].cElements;
    if (count != 0 && !psa->pvData) return nullptr;
    const std::size_t expected = element == VT_BSTR ? sizeof(BSTR) : elementSize(element);
    if (psa->cbElements != expected) return nullptr;
    return psa;
}

} // namespace

bool streamable(VARTYPE vt)
{
    if (vt & (VT_BYREF | VT_VECTOR | VT_RESERVED)) return false;
    if (vt & VT_ARRAY) return isArrayElement(vt & VT_TYPEMASK) && !(vt & ~(VT_ARRAY | VT_TYPEMASK));
    return vt == VT_BSTR || isScalar(vt);
}

std::size_t BlockWriter::itemHeaderSize() const
{
    return _format == Format::DataTime ? kItemHeader1Size : kItemHeader2Size;
}

bool BlockWriter::recordSize(const VARIANT& v, std::size_t& size)
{
    size = kVariantImageSize;
    if (!streamable(v.vt)) return false;
    if (v.vt == VT_BSTR) {
        size += bstrTailSize(v.bstrVal);
    } else if (v.vt & VT_ARRAY) {
        const SAFEARRAY* psa = streamableArray(v);
        if (!psa) return false;
        const VARTYPE element = v.vt & VT_TYPEMASK;
        const ULONG count = psa->rgsabound[0].cElements;
        size += kSafeArrayImageSize;
        if (element == VT_BSTR) {
            const BSTR* strings = static_cast<const BSTR*>(psa->pvData);
            for (ULONG i = 0; i < count; ++i) size += bstrTailSize(strings[i]);
        } else {
            size += std::size_t(count) * elementSize(element);
        }
    }
    return true;
}

std::size_t BlockWriter::blockSize(std::span<const BlockItem> items) const
{
    std::size_t total = kGroupHeaderSize + items.size() * itemHeaderSize();
    for (const BlockItem& item : items) {
        std::size_t record = kVariantImageSize;
        if (item.value) recordSize(*item.value, record);
        total += record;
    }
    return total;
}

namespace {

// Writes one value record at p; returns the end of the record.
BYTE* writeRecord(BYTE* p, const VARIANT& v)
{
    std::memset(p, 0, kVariantImageSize);
    if (v.vt == VT_DECIMAL) {
        std::memcpy(p, &v.decVal, sizeof(DECIMAL));
        put16(p, VT_DECIMAL);
        return p + kVariantImageSize;
    }
    put16(p, v.vt);
    if (!(v.vt & VT_ARRAY)) {
        if (const std::size_t n = platform::scalarValueSize(v.vt)) std::memcpy(p + 8, &v.llVal, n);
        p += kVariantImageSize;
        return v.vt == VT_BSTR ? writeBstrTail(p, v.bstrVal) : p;
    }
    p += kVariantImageSize;
    const SAFEARRAY* psa = v.parray;
    const VARTYPE element = v.vt & VT_TYPEMASK;
    const ULONG count = psa->rgsabound[0].cElements;
    std::memset(p, 0, kSafeArrayImageSize);
    put16(p, 1);
    put16(p + 2, psa->fFeatures);
    put32(p + 4, element == VT_BSTR ? kBstrElementImageSize : psa->cbElements);
    put32(p + 16, count);
    put32(p + 20, static_cast<DWORD>(psa->rgsabound[0].lLbound));
    p += kSafeArrayImageSize;
    if (element == VT_BSTR) {
        const BSTR* strings = static_cast<const BSTR*>(psa->pvData);
        for (ULONG i = 0; i < count; ++i) p = writeBstrTail(p, strings[i]);
        return p;
    }
    const std::size_t bytes = std::size_t(count) * elementSize(element);
    if (bytes) std::memcpy(p, psa->pvData, bytes);
    return p + bytes;
}

} // namespace

std::size_t BlockWriter::write(std::span<const BlockItem> items, OPCHANDLE hClientGroup, DWORD transactionId,
                               BYTE* dest) const
{
    const std::size_t headerSize = itemHeaderSize();
    BYTE* header = dest + kGroupHeaderSize;
    BYTE* record = header + items.size() * headerSize;
    bool allGood = true;
    VARIANT empty;
    VariantInit(&empty);
    for (const BlockItem& item : items) {
        const VARIANT* value = item.value ? item.value : &empty;
        WORD quality = item.quality;
        std::size_t size;
        if (!recordSize(*value, size)) {
            value = &empty;
            quality = OPC_QUALITY_BAD;
        }
        if ((quality & OPC_QUALITY_MASK) != OPC_QUALITY_GOOD) allGood = false;
        put32(header, item.hClient);
        put32(header + 4, static_cast<DWORD>(record - dest));
        put16(header + 8, quality);
        put16(header + 10, 0);
        if (_format == Format::DataTime) {
            put32(header + 12, item.timeStamp.dwLowDateTime);
            put32(header + 16, item.timeStamp.dwHighDateTime);
        }
        header += headerSize;
        record = writeRecord(record, *value);
    }
    const std::size_t total = static_cast<std::size_t>(record - dest);
    put32(dest, static_cast<DWORD>(total));
    put32(dest + 4, static_cast<DWORD>(items.size()));
    put32(dest + 8, hClientGroup);
    put32(dest + 12, transactionId);
    put32(dest + 16, static_cast<DWORD>(allGood ? S_OK : S_FALSE));
    return total;
}

std::vector<BYTE> BlockWriter::build(std::span<const BlockItem> items, OPCHANDLE hClientGroup,
                                     DWORD transactionId) const
{
    std::vector<BYTE> block(blockSize(items));
    write(items, hClientGroup, transactionId, block.data());
    return block;
}

HGLOBAL BlockWriter::buildGlobal(std::span<const BlockItem> items, OPCHANDLE hClientGroup,
                                 DWORD transactionId) const
{
    const std::size_t size = blockSize(items);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    if (!block) return nullptr;
    BYTE* dest = static_cast<BYTE*>(GlobalLock(block));
    if (!dest) {
        GlobalFree(block);
        return nullptr;
    }
    write(items, hClientGroup, transactionId, dest);
    GlobalUnlock(block);
    return block;
}

} // namespace servers::kit
