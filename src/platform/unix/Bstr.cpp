// BSTR allocation. Layout of one block from the task allocator:
//   offset 0  4 bytes  unused, so that the text starts 8-byte aligned as on 64-bit Windows
//   offset 4  4 bytes  byte length of the text, without the terminator
//   offset 8  ...      the text (the BSTR points here), then two zero bytes
// Going through the task allocator lets the sanitizer builds report a BSTR that is never freed.
#include "platform/Memory.h"
#include "platform/Variant.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr std::size_t kPrefix = 8;

BYTE* blockOf(BSTR text) { return reinterpret_cast<BYTE*>(text) - kPrefix; }

UINT storedByteLength(BSTR text)
{
    UINT length = 0;
    std::memcpy(&length, reinterpret_cast<const BYTE*>(text) - sizeof(UINT), sizeof(UINT));
    return length;
}

// A block for `bytes` bytes of text, the prefix set and the terminator written; the text itself
// is left for the caller to fill. An odd byte count (SysAllocStringByteLen) gets one zero byte
// more, so that the character after the last whole one is a whole zero character too: code that
// looks for the terminator character by character stays inside the block.
BSTR allocateBytes(UINT bytes)
{
    // The length prefix is 32 bits; keep the total below that with room for prefix and terminator.
    if (bytes > std::numeric_limits<UINT>::max() - kPrefix - 3) return nullptr;
    const std::size_t terminator = 2 + (bytes & 1);
    auto* block = static_cast<BYTE*>(CoTaskMemAlloc(kPrefix + bytes + terminator));
    if (!block) return nullptr;
    std::memset(block, 0, sizeof(UINT));
    std::memcpy(block + sizeof(UINT), &bytes, sizeof(UINT));
    std::memset(block + kPrefix + bytes, 0, terminator);
    return reinterpret_cast<BSTR>(block + kPrefix);
}

std::size_t textLength(const OLECHAR* text)
{
    std::size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

} // namespace

BSTR SysAllocString(const OLECHAR* psz)
{
    if (!psz) return nullptr;
    const std::size_t length = textLength(psz);
    if (length > std::numeric_limits<UINT>::max() / 2) return nullptr;
    return SysAllocStringLen(psz, static_cast<UINT>(length));
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui)
{
    if (ui > std::numeric_limits<UINT>::max() / 2) return nullptr;
    const UINT bytes = ui * 2;
    BSTR text = allocateBytes(bytes);
    if (!text) return nullptr;
    if (strIn) {
        std::memmove(text, strIn, bytes);
    } else {
        std::memset(text, 0, bytes);
    }
    return text;
}

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len)
{
    BSTR text = allocateBytes(len);
    if (!text) return nullptr;
    if (psz) {
        std::memmove(text, psz, len);
    } else {
        std::memset(text, 0, len);
    }
    return text;
}

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz)
{
    if (!pbstr) return FALSE;
    const std::size_t length = psz ? textLength(psz) : 0;
    if (length > std::numeric_limits<UINT>::max() / 2) return FALSE;
    return SysReAllocStringLen(pbstr, psz, static_cast<UINT>(length));
}

INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len)
{
    if (!pbstr) return FALSE;
    // The new text is built before the old one is freed, because psz may point into it.
    BSTR fresh = SysAllocStringLen(psz, len);
    if (!fresh) return FALSE;
    if (!psz && *pbstr) {
        // Without a source the old text is kept as far as it reaches, as the platform does.
        const UINT keep = std::min(len, SysStringLen(*pbstr));
        std::memcpy(fresh, *pbstr, keep * sizeof(OLECHAR));
    }
    SysFreeString(*pbstr);
    *pbstr = fresh;
    return TRUE;
}

void SysFreeString(BSTR bstrString)
{
    if (bstrString) CoTaskMemFree(blockOf(bstrString));
}

UINT SysStringLen(BSTR pbstr) { return pbstr ? storedByteLength(pbstr) / 2 : 0; }

UINT SysStringByteLen(BSTR bstr) { return bstr ? storedByteLength(bstr) : 0; }
