// UTF-8 <-> UTF-16 with the platform's size and error rules. Malformed UTF-8 is replaced per
// maximal ill-formed subsequence (one U+FFFD for "\xE2\x82" cut short, one per stray byte), the
// practice Unicode recommends and current Windows follows.
#include "platform/Text.h"

#include "platform/Memory.h"

#include <climits>
#include <cstring>

namespace {

constexpr DWORD kErrorInvalidFlags = 1004; // ERROR_INVALID_FLAGS
constexpr char32_t kReplacement = 0xFFFD;
constexpr DWORD kMbComposite = 0x2;
constexpr DWORD kMbUseGlyphChars = 0x4;
constexpr DWORD kWcDiscardNonSpacing = 0x10;
constexpr DWORD kWcSepChars = 0x20;
constexpr DWORD kWcDefaultChar = 0x40;
constexpr DWORD kWcCompositeCheck = 0x200;

bool isUtf8CodePage(UINT codePage)
{
    return codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_THREAD_ACP || codePage == CP_UTF8;
}

struct Decoded {
    char32_t codePoint;
    std::size_t length; // bytes consumed; for invalid input the maximal ill-formed subpart
    bool valid;
};

Decoded decodeUtf8(const unsigned char* s, std::size_t n)
{
    const unsigned lead = s[0];
    if (lead < 0x80) return {lead, 1, true};
    std::size_t trailing = 0;
    char32_t codePoint = 0;
    // The second byte's range excludes overlong forms, surrogates and values above U+10FFFF.
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trailing = 1;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trailing = 2;
        codePoint = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trailing = 3;
        codePoint = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {kReplacement, 1, false};
    }
    for (std::size_t i = 1; i <= trailing; ++i) {
        if (i >= n || s[i] < low || s[i] > high) return {kReplacement, i, false};
        codePoint = codePoint << 6 | (s[i] & 0x3F);
        low = 0x80;
        high = 0xBF;
    }
    return {codePoint, trailing + 1, true};
}

// One code point from UTF-16; an unpaired surrogate is reported invalid, one unit long.
Decoded decodeUtf16(const char16_t* s, std::size_t n)
{
    const char16_t unit = s[0];
    if (unit < 0xD800 || unit > 0xDFFF) return {unit, 1, true};
    if (unit <= 0xDBFF && n > 1 && s[1] >= 0xDC00 && s[1] <= 0xDFFF) {
        return {0x10000 + ((char32_t(unit) - 0xD800) << 10 | (char32_t(s[1]) - 0xDC00)), 2, true};
    }
    return {kReplacement, 1, false};
}

std::size_t encodeUtf8(char32_t c, char* out)
{
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | c >> 6);
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | c >> 12);
        out[1] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | c >> 18);
    out[1] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out[2] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

std::size_t encodeUtf16(char32_t c, char16_t* out)
{
    if (c < 0x10000) {
        out[0] = static_cast<char16_t>(c);
        return 1;
    }
    c -= 0x10000;
    out[0] = static_cast<char16_t>(0xD800 + (c >> 10));
    out[1] = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    return 2;
}

int failWith(DWORD error)
{
    SetLastError(error);
    return 0;
}

} // namespace

UINT GetACP() { return CP_UTF8; }

UINT GetOEMCP() { return CP_UTF8; }

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar)
{
    if (!isUtf8CodePage(CodePage)) return failWith(ERROR_INVALID_PARAMETER);
    // UTF-8 proper takes no flag but the error flag; the system code page (UTF-8 here too) takes
    // the flags that code written for any code page passes, which change nothing for UTF-8.
    const DWORD allowed = CodePage == CP_UTF8
                              ? MB_ERR_INVALID_CHARS
                              : MB_ERR_INVALID_CHARS | MB_PRECOMPOSED | kMbComposite | kMbUseGlyphChars;
    if (dwFlags & ~allowed) return failWith(kErrorInvalidFlags);
    if (!lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar > 0 && !lpWideCharStr)) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    const auto* in = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    const std::size_t length = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : std::size_t(cbMultiByte);
    if (length > std::size_t(INT_MAX)) return failWith(ERROR_INVALID_PARAMETER);

    std::size_t produced = 0;
    for (std::size_t i = 0; i < length;) {
        const Decoded d = decodeUtf8(in + i, length - i);
        if (!d.valid && (dwFlags & MB_ERR_INVALID_CHARS)) return failWith(ERROR_NO_UNICODE_TRANSLATION);
        char16_t units[2];
        const std::size_t count = encodeUtf16(d.codePoint, units);
        if (cchWideChar > 0) {
            if (produced + count > std::size_t(cchWideChar)) return failWith(ERROR_INSUFFICIENT_BUFFER);
            for (std::size_t k = 0; k < count; ++k) lpWideCharStr[produced + k] = units[k];
        }
        produced += count;
        i += d.length;
    }
    return static_cast<int>(produced); // never more units than input bytes, so it fits
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCSTR lpDefaultChar, BOOL* lpUsedDefaultChar)
{
    if (!isUtf8CodePage(CodePage)) return failWith(ERROR_INVALID_PARAMETER);
    const DWORD allowed = CodePage == CP_UTF8 ? WC_ERR_INVALID_CHARS
                                              : WC_ERR_INVALID_CHARS | WC_NO_BEST_FIT_CHARS | kWcCompositeCheck |
                                                    kWcDefaultChar | kWcDiscardNonSpacing | kWcSepChars;
    if (dwFlags & ~allowed) return failWith(kErrorInvalidFlags);
    // As on the platform, UTF-8 proper refuses the default-character arguments; the system code
    // page accepts them, and there they apply to unpaired surrogates, the only thing UTF-8
    // cannot carry.
    if (CodePage == CP_UTF8 && (lpDefaultChar || lpUsedDefaultChar)) return failWith(ERROR_INVALID_PARAMETER);
    if (!lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (cbMultiByte > 0 && !lpMultiByteStr)) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    std::size_t length = 0;
    if (cchWideChar == -1) {
        while (lpWideCharStr[length] != 0) ++length;
        ++length;
    } else {
        length = std::size_t(cchWideChar);
    }
    if (length > std::size_t(INT_MAX)) return failWith(ERROR_INVALID_PARAMETER);

    char replacement[4];
    std::size_t replacementLength = 0;
    if (lpDefaultChar) {
        const auto* def = reinterpret_cast<const unsigned char*>(lpDefaultChar);
        const Decoded d = decodeUtf8(def, strnlen(lpDefaultChar, 4));
        replacementLength = (d.valid && d.codePoint != 0) ? encodeUtf8(d.codePoint, replacement) : encodeUtf8('?', replacement);
    } else {
        replacementLength = encodeUtf8(kReplacement, replacement);
    }

    bool usedDefault = false;
    std::size_t produced = 0;
    for (std::size_t i = 0; i < length;) {
        const Decoded d = decodeUtf16(lpWideCharStr + i, length - i);
        char bytes[4];
        std::size_t count = 0;
        if (d.valid) {
            count = encodeUtf8(d.codePoint, bytes);
        } else {
            if (dwFlags & WC_ERR_INVALID_CHARS) return failWith(ERROR_NO_UNICODE_TRANSLATION);
            std::memcpy(bytes, replacement, replacementLength);
            count = replacementLength;
            usedDefault = true;
        }
        if (produced + count > std::size_t(INT_MAX)) return failWith(ERROR_INVALID_PARAMETER);
        if (cbMultiByte > 0) {
            if (produced + count > std::size_t(cbMultiByte)) return failWith(ERROR_INSUFFICIENT_BUFFER);
            std::memcpy(lpMultiByteStr + produced, bytes, count);
        }
        produced += count;
        i += d.length;
    }
    if (lpUsedDefaultChar) *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
    return static_cast<int>(produced);
}

int lstrlenW(LPCWSTR text)
{
    if (!text) return 0;
    int length = 0;
    while (text[length] != 0) ++length;
    return length;
}
