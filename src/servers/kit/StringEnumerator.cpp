#include "servers/kit/StringEnumerator.h"

#include "platform/Memory.h"

#include <algorithm>
#include <cstring>

namespace servers::kit {

LPWSTR taskString(platform::WideStringView text)
{
    auto* out = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    if (!out) return nullptr;
    if (!text.empty()) std::memcpy(out, text.data(), text.size() * sizeof(WCHAR));
    out[text.size()] = 0;
    return out;
}

std::uint64_t NameCursor::skip(std::uint64_t n)
{
    std::uint64_t passed = 0;
    platform::WideString name;
    while (passed < n && current(name)) {
        advance();
        ++passed;
    }
    return passed;
}

ListCursor::ListCursor(std::shared_ptr<const List> list, std::size_t position)
    : _list(list ? std::move(list) : std::make_shared<const List>()), _position(position)
{
}

bool ListCursor::current(platform::WideString& name)
{
    if (_position >= _list->size()) return false;
    name = (*_list)[_position];
    return true;
}

std::uint64_t ListCursor::skip(std::uint64_t n)
{
    const std::uint64_t left = _position < _list->size() ? _list->size() - _position : 0;
    const std::uint64_t passed = std::min(n, left);
    _position += static_cast<std::size_t>(passed);
    return passed;
}

IEnumString* StringEnumerator::create(std::shared_ptr<const List> list, std::size_t position)
{
    return create(std::make_unique<ListCursor>(std::move(list), position));
}

IEnumString* StringEnumerator::create(std::unique_ptr<NameCursor> cursor)
{
    if (!cursor) cursor = std::make_unique<ListCursor>(nullptr);
    auto* e = new StringEnumerator(std::move(cursor));
    e->AddRef();
    return e;
}

HRESULT StringEnumerator::Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched)
{
    if (pceltFetched) *pceltFetched = 0;
    if (!rgelt || (celt > 1 && !pceltFetched)) return E_INVALIDARG;
    std::lock_guard lock(_mutex);
    // A cursor cannot step back, so a call that may move it more than once keeps where it began.
    std::unique_ptr<NameCursor> start = celt > 1 ? _cursor->clone() : nullptr;
    ULONG fetched = 0;
    platform::WideString name;
    while (fetched < celt && _cursor->current(name)) {
        LPWSTR s = taskString(name);
        if (!s) {
            for (ULONG i = 0; i < fetched; ++i) {
                CoTaskMemFree(rgelt[i]);
                rgelt[i] = nullptr;
            }
            if (start) _cursor = std::move(start);
            return E_OUTOFMEMORY;
        }
        rgelt[fetched++] = s;
        _cursor->advance();
    }
    if (pceltFetched) *pceltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
}

HRESULT StringEnumerator::Skip(ULONG celt)
{
    std::lock_guard lock(_mutex);
    return _cursor->skip(celt) == celt ? S_OK : S_FALSE;
}

HRESULT StringEnumerator::Reset()
{
    std::lock_guard lock(_mutex);
    _cursor->reset();
    return S_OK;
}

HRESULT StringEnumerator::Clone(IEnumString** ppenum)
{
    if (!ppenum) return E_INVALIDARG;
    std::lock_guard lock(_mutex);
    *ppenum = create(_cursor->clone());
    return S_OK;
}

} // namespace servers::kit
