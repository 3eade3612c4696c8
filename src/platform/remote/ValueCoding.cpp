#include "ValueCoding.h"

#include <cstring>
#include <vector>

namespace platform::remote {

using namespace tagvista::agent;
namespace fb = flatbuffers;

namespace {

// The types whose value is the first bytes of the VARIANT's union.
bool isScalar(VARTYPE type)
{
    switch (type) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4: case VT_INT: case VT_UINT:
    case VT_I8: case VT_UI8: case VT_R4: case VT_R8: case VT_CY: case VT_DATE: case VT_BOOL: case VT_ERROR:
        return true;
    default:
        return false;
    }
}

// Types an array's elements may have.
bool isElementType(VARTYPE type)
{
    return isScalar(type) || type == VT_BSTR || type == VT_VARIANT || type == VT_DECIMAL;
}

std::size_t elementSize(VARTYPE type)
{
    switch (type) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_CY: case VT_DATE: return 8;
    case VT_BSTR: return sizeof(BSTR);
    case VT_DECIMAL: return sizeof(DECIMAL);
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 0;
    }
}

std::uint64_t scalarBits(const void* value, std::size_t size)
{
    std::uint64_t bits = 0;
    std::memcpy(&bits, value, size);
    return bits;
}

fb::Offset<fb::Vector<std::uint16_t>> textOf(fb::FlatBufferBuilder& builder, BSTR text)
{
    if (!text) return 0;
    const UINT length = SysStringLen(text);
    std::vector<std::uint16_t> units(length);
    for (UINT i = 0; i < length; ++i) units[i] = static_cast<std::uint16_t>(text[i]);
    return builder.CreateVector(units);
}

fb::Offset<Value> encodeElement(fb::FlatBufferBuilder& builder, VARTYPE type, const std::uint8_t* element, bool& travelled);

fb::Offset<Value> encodeArray(fb::FlatBufferBuilder& builder, VARTYPE vt, SAFEARRAY* array, bool& travelled)
{
    const VARTYPE type = static_cast<VARTYPE>(vt & VT_TYPEMASK);
    const UINT dimensions = array ? SafeArrayGetDim(array) : 0;
    if (!array || dimensions == 0 || !isElementType(type) || SafeArrayGetElemsize(array) != elementSize(type)) {
        travelled = false;
        return CreateValue(builder, VT_EMPTY);
    }
    std::vector<ArrayBound> bounds;
    std::size_t total = 1;
    for (UINT dimension = 1; dimension <= dimensions; ++dimension) {
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(array, dimension, &lower);
        SafeArrayGetUBound(array, dimension, &upper);
        const std::size_t count = upper >= lower ? static_cast<std::size_t>(upper - lower) + 1 : 0;
        bounds.emplace_back(lower, static_cast<std::uint32_t>(count));
        total *= count;
    }
    std::vector<fb::Offset<Value>> elements;
    void* data = nullptr;
    if (total > 0 && total <= kMaxArrayElements && SUCCEEDED(SafeArrayAccessData(array, &data)) && data) {
        elements.reserve(total);
        const std::size_t size = elementSize(type);
        for (std::size_t i = 0; i < total; ++i)
            elements.push_back(encodeElement(builder, type, static_cast<const std::uint8_t*>(data) + i * size, travelled));
        SafeArrayUnaccessData(array);
    } else if (total > 0) {
        travelled = false;
        return CreateValue(builder, VT_EMPTY);
    }
    const auto boundsVector = builder.CreateVectorOfStructs(bounds);
    const auto elementsVector = builder.CreateVector(elements);
    return CreateValue(builder, vt, 0, 0, 0, boundsVector, elementsVector);
}

fb::Offset<Value> encodeElement(fb::FlatBufferBuilder& builder, VARTYPE type, const std::uint8_t* element, bool& travelled)
{
    if (type == VT_VARIANT) return encodeValue(builder, *reinterpret_cast<const VARIANT*>(element), travelled);
    if (type == VT_BSTR) {
        BSTR text;
        std::memcpy(&text, element, sizeof text);
        return CreateValue(builder, VT_BSTR, 0, 0, textOf(builder, text));
    }
    if (type == VT_DECIMAL) return CreateValue(builder, VT_DECIMAL, 0, builder.CreateVector(element, sizeof(DECIMAL)));
    return CreateValue(builder, type, scalarBits(element, elementSize(type)));
}

bool decodeElement(const Value* value, VARTYPE type, std::uint8_t* element);

bool decodeArray(const Value* value, VARIANT& target)
{
    const VARTYPE type = static_cast<VARTYPE>(value->vt() & VT_TYPEMASK);
    if ((value->vt() & ~(VT_ARRAY | VT_TYPEMASK)) != 0 || !isElementType(type) || !value->bounds() ||
        value->bounds()->size() == 0 || value->bounds()->size() > 32)
        return false;
    std::vector<SAFEARRAYBOUND> bounds;
    std::size_t total = 1;
    for (const ArrayBound* bound : *value->bounds()) {
        bounds.push_back(SAFEARRAYBOUND{bound->count(), bound->lower()});
        if (bound->count() != 0 && total > kMaxArrayElements / bound->count()) return false;
        total *= bound->count();
    }
    const std::size_t given = value->elements() ? value->elements()->size() : 0;
    if (given != total) return false;
    SAFEARRAY* array = SafeArrayCreate(type, static_cast<UINT>(bounds.size()), bounds.data());
    if (!array) return false;
    void* data = nullptr;
    bool good = total == 0 || (SUCCEEDED(SafeArrayAccessData(array, &data)) && data);
    if (good && total > 0) {
        const std::size_t size = elementSize(type);
        for (std::size_t i = 0; i < total && good; ++i)
            good = decodeElement(value->elements()->Get(static_cast<fb::uoffset_t>(i)), type,
                                 static_cast<std::uint8_t*>(data) + i * size);
        SafeArrayUnaccessData(array);
    }
    if (!good) {
        SafeArrayDestroy(array);  // frees what the elements made so far
        return false;
    }
    target.vt = value->vt();
    target.parray = array;
    return true;
}

bool decodeElement(const Value* value, VARTYPE type, std::uint8_t* element)
{
    if (!value) return false;
    if (type == VT_VARIANT) return decodeValue(value, *reinterpret_cast<VARIANT*>(element));
    if (value->vt() != type) return false;
    VARIANT made;
    VariantInit(&made);
    if (!decodeValue(value, made)) return false;
    if (type == VT_BSTR)
        std::memcpy(element, &made.bstrVal, sizeof(BSTR));  // the array owns it now
    else if (type == VT_DECIMAL)
        std::memcpy(element, &made.decVal, sizeof(DECIMAL));
    else
        std::memcpy(element, &made.llVal, elementSize(type));
    return true;
}

} // namespace

fb::Offset<Value> encodeValue(fb::FlatBufferBuilder& builder, const VARIANT& value, bool& travelled)
{
    const VARTYPE vt = value.vt;
    if (vt == VT_EMPTY || vt == VT_NULL) return CreateValue(builder, vt);
    if (isScalar(vt)) return CreateValue(builder, vt, scalarBits(&value.llVal, elementSize(vt)));
    if (vt == VT_BSTR) return CreateValue(builder, VT_BSTR, 0, 0, textOf(builder, value.bstrVal));
    if (vt == VT_DECIMAL)
        return CreateValue(builder, VT_DECIMAL, 0, builder.CreateVector(reinterpret_cast<const std::uint8_t*>(&value.decVal),
                                                                        sizeof(DECIMAL)));
    if ((vt & VT_ARRAY) && !(vt & VT_BYREF)) return encodeArray(builder, vt, value.parray, travelled);
    travelled = false;
    return CreateValue(builder, VT_EMPTY);
}

bool decodeValue(const Value* value, VARIANT& target)
{
    VariantInit(&target);
    if (!value) return false;
    const VARTYPE vt = value->vt();
    if (vt == VT_EMPTY || vt == VT_NULL) {
        target.vt = vt;
        return true;
    }
    if (isScalar(vt)) {
        const std::uint64_t bits = value->bits();
        std::memcpy(&target.llVal, &bits, elementSize(vt));
        target.vt = vt;
        return true;
    }
    if (vt == VT_BSTR) {
        if (value->text()) {
            std::vector<OLECHAR> units(value->text()->begin(), value->text()->end());
            target.bstrVal = SysAllocStringLen(units.data(), static_cast<UINT>(units.size()));
            if (!target.bstrVal) return false;
        }
        target.vt = VT_BSTR;
        return true;
    }
    if (vt == VT_DECIMAL) {
        if (!value->raw() || value->raw()->size() != sizeof(DECIMAL)) return false;
        std::memcpy(&target.decVal, value->raw()->data(), sizeof(DECIMAL));
        target.vt = VT_DECIMAL;  // the DECIMAL's first field is where the type is kept
        return true;
    }
    if (vt & VT_ARRAY) return decodeArray(value, target);
    return false;
}

} // namespace platform::remote
