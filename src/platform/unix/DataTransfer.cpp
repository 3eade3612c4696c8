// Storage media release and the process-wide table of registered clipboard formats.
#include "platform/DataTransfer.h"

#include "platform/Text.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

constexpr UINT kFirstRegisteredFormat = 0xC000;
constexpr UINT kLastRegisteredFormat = 0xFFFF;
constexpr std::size_t kMaxFormatNameLength = 255; // the platform's atom names stop there

// IStream and IStorage are only declared here; both derive from IUnknown, whose slots open
// their vtables, so Release can be reached through an IUnknown pointer.
IUnknown* asUnknown(void* interfacePointer) { return static_cast<IUnknown*>(interfacePointer); }

class FormatTable {
public:
    // The caller has checked the name's length in its own character units.
    UINT registerName(std::string_view name)
    {
        if (name.empty()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        std::string key = foldCase(name);
        std::lock_guard lock(_mutex);
        if (auto found = _byName.find(key); found != _byName.end()) return found->second;
        if (_names.size() > kLastRegisteredFormat - kFirstRegisteredFormat) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        const auto format = static_cast<UINT>(kFirstRegisteredFormat + _names.size());
        // The first spelling is the one the name query gives back, as with the platform's atoms.
        _names.emplace_back(name);
        _byName.emplace(std::move(key), format);
        return format;
    }

    bool nameOf(UINT format, std::string& name)
    {
        std::lock_guard lock(_mutex);
        if (format < kFirstRegisteredFormat || format - kFirstRegisteredFormat >= _names.size()) return false;
        name = _names[format - kFirstRegisteredFormat];
        return true;
    }

private:
    // Names compare without regard to ASCII case; other characters compare exactly.
    static std::string foldCase(std::string_view name)
    {
        std::string folded(name);
        std::transform(folded.begin(), folded.end(), folded.begin(),
                       [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
        return folded;
    }

    std::mutex _mutex;
    std::vector<std::string> _names;
    std::unordered_map<std::string, UINT> _byName;
};

FormatTable& formatTable()
{
    // Never destroyed: an in-process server may register a format while the process exits.
    static auto* table = new FormatTable;
    return *table;
}

} // namespace

void ReleaseStgMedium(LPSTGMEDIUM medium)
{
    if (!medium) return;
    IUnknown* owner = medium->pUnkForRelease;
    // With an owner the storage is the owner's to free, except what the platform frees in
    // either case: the file name and the stream or storage reference.
    switch (medium->tymed) {
    case TYMED_HGLOBAL:
        if (!owner) GlobalFree(medium->hGlobal);
        break;
    case TYMED_MFPICT:
        // The handle holds the picture header; the metafile inside is a GDI object that this
        // layer has no way to delete.
        if (!owner) GlobalFree(static_cast<HGLOBAL>(medium->hMetaFilePict));
        break;
    case TYMED_FILE:
        if (medium->lpszFileName) {
            if (!owner) unlink(platform::utf16ToUtf8(medium->lpszFileName).c_str());
            CoTaskMemFree(medium->lpszFileName);
        }
        break;
    case TYMED_ISTREAM:
        if (medium->pstm) asUnknown(medium->pstm)->Release();
        break;
    case TYMED_ISTORAGE:
        if (medium->pstg) asUnknown(medium->pstg)->Release();
        break;
    default:
        // TYMED_GDI and TYMED_ENHMF carry GDI objects, which do not exist here.
        break;
    }
    if (owner) owner->Release();
    medium->tymed = TYMED_NULL;
    medium->hGlobal = nullptr;
    medium->pUnkForRelease = nullptr;
}

UINT RegisterClipboardFormatA(LPCSTR lpszFormat)
{
    if (!lpszFormat) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::string_view name(lpszFormat);
    if (name.size() > kMaxFormatNameLength) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return formatTable().registerName(name);
}

UINT RegisterClipboardFormatW(LPCWSTR lpszFormat)
{
    if (!lpszFormat) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::u16string_view wide(lpszFormat, static_cast<std::size_t>(lstrlenW(lpszFormat)));
    if (wide.size() > kMaxFormatNameLength) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return formatTable().registerName(platform::utf16ToUtf8(wide));
}

int GetClipboardFormatNameA(UINT format, LPSTR lpszFormatName, int cchMaxCount)
{
    if (!lpszFormatName || cchMaxCount <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string name;
    if (!formatTable().nameOf(format, name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Truncated to the buffer, always terminated; the result counts the characters copied.
    const std::size_t copied = std::min(name.size(), static_cast<std::size_t>(cchMaxCount) - 1);
    std::memcpy(lpszFormatName, name.data(), copied);
    lpszFormatName[copied] = '\0';
    return static_cast<int>(copied);
}
