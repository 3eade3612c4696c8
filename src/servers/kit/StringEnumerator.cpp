#include "servers/kit/StringEnumerator.h"

#include "platform/Memory.h"

#include <cstring>

namespace servers::kit {

LPWSTR taskString(std::u16string_view text)
{
    auto* out = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    if (!out) return nullptr;
    if (!text.empty()) std::memcpy(out, text.data(), text.size() * sizeof(WCHAR));
    out[text.size()] = 0;
    return out;
}

IEnumString* StringEnumerator::create(std::shared_ptr<const List> list, std::size_t position)
{
    if (!list) list = std::make_shared<const List>();
    auto* e = new StringEnumerator(std::move(list), position);
    e->AddRef();
    return e;
}

HRESULT StringEnumerator::Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched)
{
    if (pceltFetched) *pceltFetched = 0;
    if (!rgelt || (celt > 1 && !pceltFetched)) return E_INVALIDARG;
    std::lock_guard lock(_mutex);
    ULONG fetched = 0;
    while (fetched < celt && _position < _list->size()) {
        LPWSTR s = taskString((*_list)[_position]);
        if (!s) {
            for (ULONG i = 0; i < fetched; ++i) {
                CoTaskMemFree(rgelt[i]);
                rgelt[i] = nullptr;
            }
            _position -= fetched;
            return E_OUTOFMEMORY;
        }
        rgelt[fetched++] = s;
        ++_position;
    }
    if (pceltFetched) *pceltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
}

HRESULT StringEnumerator::Skip(ULONG celt)
{
    std::lock_guard lock(_mutex);
    const std::size_t left = _list->size() - _position;
    if (celt > left) {
        _position = _list->size();
        return S_FALSE;
    }
    _position += celt;
    return S_OK;
}

HRESULT StringEnumerator::Reset()
{
    std::lock_guard lock(_mutex);
    _position = 0;
    return S_OK;
}

HRESULT StringEnumerator::Clone(IEnumString** ppenum)
{
    if (!ppenum) return E_INVALIDARG;
    std::lock_guard lock(_mutex);
    *ppenum = create(_list, _position);
    return S_OK;
}

} // namespace servers::kit
