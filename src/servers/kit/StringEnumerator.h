// The string enumerator browsing hands out: a fixed list of names, walked with Next, Skip,
// Reset and Clone. Clones share the list and start at the clone's position. Any thread; the
// position has its own lock. Strings given out are allocated with CoTaskMemAlloc and owned by
// the caller.
#pragma once

#include "platform/Unknown.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace servers::kit {

class StringEnumerator : public platform::ComObject<IEnumString> {
public:
    using List = std::vector<std::u16string>;

    // A new enumerator with one reference, owned by the caller.
    static IEnumString* create(std::shared_ptr<const List> list, std::size_t position = 0);

    HRESULT STDMETHODCALLTYPE Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumString** ppenum) override;

private:
    StringEnumerator(std::shared_ptr<const List> list, std::size_t position)
        : _list(std::move(list)), _position(position) {}

    const std::shared_ptr<const List> _list;
    std::mutex _mutex;
    std::size_t _position;
};

// A copy of text in task memory with its terminator, for out-parameters; null when out of memory.
LPWSTR taskString(std::u16string_view text);

} // namespace servers::kit
