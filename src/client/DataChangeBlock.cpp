#include "DataChangeBlock.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t kVariantImage = 16;
constexpr std::size_t kSafeArrayImage = 24;
constexpr std::size_t kSmallestString = 4 + 2;  // a count and a terminator

// Bytes a fixed-size element or scalar value takes; 0 for types whose data is not fixed-size.
std::size_t fixedSize(VARTYPE type)
{
    return type == VT_DECIMAL ? sizeof(DECIMAL) : platform::scalarValueSize(type);
}

bool isScalarOrString(VARTYPE type)
{
    return type == VT_EMPTY || type == VT_NULL || type == VT_BSTR || fixedSize(type) != 0;
}

// Frees the strings gathered for an array that is not built after all.
struct StringList {
    std::vector<BSTR> strings;
    ~StringList()
    {
        for (BSTR s : strings) SysFreeString(s);
    }
};

} // namespace

DataChangeBlock::DataChangeBlock(const void* data, std::size_t size, bool withTimeStamps)
    : _data(static_cast<const unsigned char*>(data)), _size(data ? size : 0), _headerSize(withTimeStamps ? 20 : 12)
{
}

std::uint32_t DataChangeBlock::u32(std::size_t at) const
{
    if (at > _size || _size - at < 4) return 0;
    const unsigned char* p = _data + at;
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

namespace {
std::uint16_t u16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
} // namespace

std::uint32_t DataChangeBlock::headersThatFit() const
{
    if (!valid()) return 0;
    const std::size_t room = (_size - kGroupHeaderSize) / _headerSize;
    return static_cast<std::uint32_t>(std::min<std::size_t>(itemCount(), room));
}

bool DataChangeBlock::itemHeader(std::uint32_t i, ItemHeader& header) const
{
    if (i >= headersThatFit()) return false;
    const std::size_t at = kGroupHeaderSize + std::size_t(i) * _headerSize;
    header.clientHandle = u32(at);
    header.valueOffset = u32(at + 4);
    header.quality = u16(_data + at + 8);
    if (_headerSize == 20) {
        header.timeStamp.dwLowDateTime = u32(at + 12);
        header.timeStamp.dwHighDateTime = u32(at + 16);
    } else {
        header.timeStamp = FILETIME{0, 0};
    }
    return true;
}

std::size_t DataChangeBlock::recordEnd(std::uint32_t offset) const
{
    std::size_t end = _size;
    const std::uint32_t declared = declaredSize();
    if (declared > offset && declared < end) end = declared;
    const std::uint32_t count = headersThatFit();
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t other = u32(kGroupHeaderSize + std::size_t(i) * _headerSize + 4);
        if (other > offset && other < end) end = other;
    }
    return end;
}

bool DataChangeBlock::readString(std::size_t& at, std::size_t end, BSTR& out) const
{
    out = nullptr;
    if (at > end || end - at < 4) return false;
    const std::uint32_t count = u32(at);
    const std::size_t text = at + 4;
    if (count > end - text) return false;
    // The terminator belongs to the record; a block that stops right after the characters still
    // gives the string.
    const std::size_t after = text + count;
    // The characters are UTF-16 units: an odd count has a stray byte at its end, which belongs to
    // the record but to no character. The string takes only the whole characters, so that it
    // always ends in a whole terminator.
    out = SysAllocStringByteLen(reinterpret_cast<const char*>(_data + text), count & ~std::uint32_t(1));
    if (!out) return false;
    at = std::min(after + 2, end);
    return true;
}

DataChangeBlock::Value DataChangeBlock::readValue(std::uint32_t offset, VARIANT& out) const
{
    VariantInit(&out);
    if (offset > _size || _size - offset < kVariantImage) return Value::DoesNotFit;
    const unsigned char* image = _data + offset;
    const VARTYPE type = u16(image);

    if (type & (VT_BYREF | VT_VECTOR | VT_RESERVED)) return Value::Unsupported;
    if (type & VT_ARRAY) return readArray(offset + kVariantImage, type & VT_TYPEMASK, recordEnd(offset), out);

    switch (type) {
    case VT_EMPTY:
    case VT_NULL:
        out.vt = type;
        return Value::Ok;
    case VT_BSTR: {
        std::size_t at = offset + kVariantImage;
        BSTR text = nullptr;
        if (!readString(at, _size, text)) return Value::DoesNotFit;
        out.vt = VT_BSTR;
        out.bstrVal = text;
        return Value::Ok;
    }
    case VT_DECIMAL:
        // The DECIMAL fills the whole image; its first word is the type tag.
        out.decVal.scale = image[2];
        out.decVal.sign = image[3];
        out.decVal.Hi32 = u32(offset + 4);
        out.decVal.Lo64 = std::uint64_t(u32(offset + 8)) | std::uint64_t(u32(offset + 12)) << 32;
        out.vt = VT_DECIMAL;
        return Value::Ok;
    default:
        break;
    }
    const std::size_t size = fixedSize(type);
    if (size == 0) return Value::Unsupported;
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < size; ++i) bits |= std::uint64_t(image[8 + i]) << (8 * i);
    out.llVal = static_cast<LONGLONG>(bits);  // the low bytes of the union hold the narrower types
    out.vt = type;
    return Value::Ok;
}

DataChangeBlock::Value DataChangeBlock::readVariantElement(std::size_t& at, std::size_t end, VARIANT& out) const
{
    VariantInit(&out);
    if (at > end || end - at < kVariantImage) return Value::DoesNotFit;
    const VARTYPE type = u16(_data + at);
    if (type == VT_BSTR) {
        std::size_t tail = at + kVariantImage;
        BSTR text = nullptr;
        if (!readString(tail, end, text)) return Value::DoesNotFit;
        out.vt = VT_BSTR;
        out.bstrVal = text;
        at = tail;
        return Value::Ok;
    }
    if (type != VT_EMPTY && type != VT_NULL && type != VT_DECIMAL && fixedSize(type) == 0) return Value::Unsupported;
    // A scalar element is its image alone; decode it through the scalar path.
    const Value result = readValue(static_cast<std::uint32_t>(at), out);
    if (result == Value::Ok) at += kVariantImage;
    return result;
}

DataChangeBlock::Value DataChangeBlock::readArray(std::size_t at, VARTYPE elementType, std::size_t end,
                                                  VARIANT& out) const
{
    if (at > _size || _size - at < kSafeArrayImage) return Value::DoesNotFit;
    const unsigned char* header = _data + at;
    if (u16(header) != 1) return Value::Unsupported;  // only one dimension travels in the stream
    const std::uint32_t elementBytes = u32(at + 4);
    const std::uint32_t count = u32(at + 16);
    const LONG lowerBound = static_cast<LONG>(u32(at + 20));
    const std::size_t first = at + kSafeArrayImage;
    const std::size_t room = _size - first;

    if (elementType == VT_BSTR) {
        // Strings packed right after the header, or after a table of 4-byte pointers that some
        // servers send first: the layout that walks exactly to the record's end wins.
        if (std::uint64_t(count) * kSmallestString > room) return Value::DoesNotFit;
        auto walk = [&](std::size_t start, std::size_t limit, StringList& list) {
            std::size_t cursor = start;
            for (std::uint32_t i = 0; i < count; ++i) {
                BSTR text = nullptr;
                if (cursor > limit || limit - cursor < kSmallestString || !readString(cursor, limit, text)) return std::size_t(0);
                list.strings.push_back(text);
            }
            return cursor;
        };
        StringList packed;
        const std::size_t packedEnd = walk(first, _size, packed);
        StringList afterTable;
        std::size_t tableEnd = 0;
        if (packedEnd != end && std::uint64_t(count) * 4 <= room) tableEnd = walk(first + std::size_t(count) * 4, _size, afterTable);
        StringList* chosen = nullptr;
        if (packedEnd != 0 && (packedEnd == end || tableEnd != end)) {
            chosen = &packed;
        } else if (tableEnd != 0) {
            chosen = &afterTable;
        }
        if (!chosen) return Value::DoesNotFit;
        SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, lowerBound, count);
        if (!array) return Value::DoesNotFit;
        BSTR* slots = static_cast<BSTR*>(array->pvData);
        for (std::uint32_t i = 0; i < count; ++i) slots[i] = chosen->strings[i];
        chosen->strings.clear();
        out.vt = VT_ARRAY | VT_BSTR;
        out.parray = array;
        return Value::Ok;
    }

    if (elementType == VT_VARIANT) {
        if (elementBytes != kVariantImage) return Value::Unsupported;
        if (std::uint64_t(count) * kVariantImage > room) return Value::DoesNotFit;
        SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, lowerBound, count);
        if (!array) return Value::DoesNotFit;
        VARIANT* slots = static_cast<VARIANT*>(array->pvData);
        std::size_t cursor = first;
        for (std::uint32_t i = 0; i < count; ++i) {
            const Value result = readVariantElement(cursor, _size, slots[i]);
            if (result != Value::Ok) {
                SafeArrayDestroy(array);
                return result;
            }
        }
        out.vt = VT_ARRAY | VT_VARIANT;
        out.parray = array;
        return Value::Ok;
    }

    const std::size_t size = fixedSize(elementType);
    if (size == 0 || elementBytes != size) return Value::Unsupported;
    if (std::uint64_t(count) * size > room) return Value::DoesNotFit;
    SAFEARRAY* array = SafeArrayCreateVector(elementType, lowerBound, count);
    if (!array) return Value::DoesNotFit;
    if (count) std::memcpy(array->pvData, _data + first, std::size_t(count) * size);
    out.vt = VT_ARRAY | elementType;
    out.parray = array;
    return Value::Ok;
}

bool DataChangeBlock::carries(const VARIANT& value)
{
    const VARTYPE type = value.vt;
    if (type & (VT_BYREF | VT_VECTOR | VT_RESERVED)) return false;
    if (!(type & VT_ARRAY)) return isScalarOrString(type);

    const SAFEARRAY* array = value.parray;
    if (!array || array->cDims != 1) return false;
    const ULONG count = array->rgsabound[0].cElements;
    if (count && !array->pvData) return false;
    const VARTYPE element = type & VT_TYPEMASK;
    if (element == VT_BSTR) return array->cbElements == sizeof(BSTR);
    if (element == VT_VARIANT) {
        if (array->cbElements != sizeof(VARIANT)) return false;
        const VARIANT* elements = static_cast<const VARIANT*>(array->pvData);
        return std::all_of(elements, elements + count, [](const VARIANT& v) { return isScalarOrString(v.vt); });
    }
    const std::size_t size = fixedSize(element);
    return size != 0 && array->cbElements == size;
}
