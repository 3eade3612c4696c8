// GUID text forms: the braced registry form only, no ProgID lookup.
#include "platform/Guid.h"

#include <cstdio>

namespace {

constexpr int kBracedLength = 38; // "{8-4-4-4-12}" without the terminator

int hexValue(unsigned c)
{
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
}

// Reads the braced form from any sequence of code units. `at(i)` yields unit i, or 0 past the
// end, so a short text fails at its terminator and never reads beyond it.
template <class At>
bool parseBraced(At at, GUID& out)
{
    // Positions of the hyphens; every other position between the braces is a hex digit.
    auto isHyphenPos = [](int i) { return i == 9 || i == 14 || i == 19 || i == 24; };
    if (at(0) != '{' || at(kBracedLength - 1) != '}' || at(kBracedLength) != 0) return false;

    BYTE bytes[16] = {};
    int nibble = 0;
    for (int i = 1; i < kBracedLength - 1; ++i) {
        const unsigned c = at(i);
        if (isHyphenPos(i)) {
            if (c != '-') return false;
            continue;
        }
        const int v = hexValue(c);
        if (v < 0) return false;
        bytes[nibble / 2] = static_cast<BYTE>(bytes[nibble / 2] << 4 | v);
        ++nibble;
    }
    // The text shows Data1..Data3 as numbers (most significant digit first) and Data4 as bytes.
    out.Data1 = DWORD(bytes[0]) << 24 | DWORD(bytes[1]) << 16 | DWORD(bytes[2]) << 8 | bytes[3];
    out.Data2 = static_cast<WORD>(bytes[4] << 8 | bytes[5]);
    out.Data3 = static_cast<WORD>(bytes[6] << 8 | bytes[7]);
    for (int i = 0; i < 8; ++i) out.Data4[i] = bytes[8 + i];
    return true;
}

HRESULT guidFromOleString(LPCOLESTR text, GUID* guid)
{
    if (!text || !guid) return E_INVALIDARG;
    // The text may be shorter than the braced form; stop at its terminator.
    int length = 0;
    while (length <= kBracedLength && text[length] != 0) ++length;
    auto at = [&](int i) -> unsigned { return i < length ? static_cast<unsigned>(text[i]) : 0u; };
    GUID parsed;
    if (!parseBraced(at, parsed)) {
        *guid = GUID_NULL;
        return CO_E_CLASSSTRING;
    }
    *guid = parsed;
    return S_OK;
}

} // namespace

HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid) { return guidFromOleString(text, clsid); }

HRESULT IIDFromString(LPCOLESTR text, IID* iid) { return guidFromOleString(text, iid); }

int StringFromGUID2(REFGUID guid, LPOLESTR buffer, int cchMax)
{
    if (!buffer || cchMax < kBracedLength + 1) return 0;
    const std::string text = platform::guidToString(guid);
    for (int i = 0; i < kBracedLength; ++i) buffer[i] = static_cast<OLECHAR>(text[static_cast<std::size_t>(i)]);
    buffer[kBracedLength] = 0;
    return kBracedLength + 1;
}
