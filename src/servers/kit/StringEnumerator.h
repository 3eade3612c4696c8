// The string enumerator browsing hands out, over a cursor that gives its names one by one: a
// fixed list (group names, small trees) or a walk of an address space that computes each name as
// it is read, so that an address space of any size is enumerated without building its list.
// A clone starts at its original's position and goes on alone. Any thread; the position has its
// own lock. Strings given out are allocated with CoTaskMemAlloc and owned by the caller.
#pragma once

#include "platform/Unknown.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace servers::kit {

// A position in a sequence of names. One thread at a time: its enumerator locks around it.
class NameCursor {
public:
    virtual ~NameCursor() = default;
    // The name at the position; false at the end. It may move past names the cursor leaves out
    // (a filter), never past the one it gives, so a second call gives the same name again.
    virtual bool current(platform::WideString& name) = 0;
    // Past the name current() gave; only after current() returned true.
    virtual void advance() = 0;
    // Past up to n names; how many it passed (fewer only at the end). The default walks them.
    virtual std::uint64_t skip(std::uint64_t n);
    virtual void reset() = 0;
    // A cursor at the same position that moves on its own.
    virtual std::unique_ptr<NameCursor> clone() const = 0;
};

// The names of a list shared by the cursor and its clones.
class ListCursor final : public NameCursor {
public:
    using List = std::vector<platform::WideString>;

    explicit ListCursor(std::shared_ptr<const List> list, std::size_t position = 0);

    bool current(platform::WideString& name) override;
    void advance() override { ++_position; }
    std::uint64_t skip(std::uint64_t n) override;
    void reset() override { _position = 0; }
    std::unique_ptr<NameCursor> clone() const override { return std::make_unique<ListCursor>(*this); }

private:
    std::shared_ptr<const List> _list;
    std::size_t _position;
};

class StringEnumerator : public platform::ComObject<IEnumString> {
public:
    using List = ListCursor::List;

    // A new enumerator with one reference, owned by the caller.
    static IEnumString* create(std::shared_ptr<const List> list, std::size_t position = 0);
    static IEnumString* create(std::unique_ptr<NameCursor> cursor);

    // Out of memory midway gives back nothing and leaves the position where it was.
    HRESULT STDMETHODCALLTYPE Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumString** ppenum) override;

private:
    explicit StringEnumerator(std::unique_ptr<NameCursor> cursor) : _cursor(std::move(cursor)) {}

    std::mutex _mutex;
    std::unique_ptr<NameCursor> _cursor;
};

// A copy of text in task memory with its terminator, for out-parameters; null when out of memory.
LPWSTR taskString(platform::WideStringView text);

} // namespace servers::kit
