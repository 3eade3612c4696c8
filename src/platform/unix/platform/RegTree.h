// The in-memory key tree behind the registry roots: keys with names that compare without regard
// to case, their values kept as the platform keeps them, and the order in which both enumerate.
//
// Internal to the registry store. A Key owns its subkeys and values; the raw Key pointers handed
// out stay valid until that key is removed from its parent or the tree is destroyed. A Key does
// no locking: the store guards a tree that can change with its own lock, and a tree that no longer
// changes may be read from any number of threads at once.
#pragma once

#include "platform/WinTypesApi.h"

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::regtree {

// Deepest key nesting accepted, as on the platform. It also bounds every recursive walk.
constexpr unsigned maxDepth = 512;

// The form in which names are compared: ASCII letters upper-cased, as the platform compares
// (so '_' sorts after the letters), everything else unchanged.
std::u16string foldName(std::u16string_view name);

struct Value {
    std::u16string name; // spelling of the first definition; empty for the default value
    DWORD type = 0;
    // The bytes as the platform stores them: strings are UTF-16LE units, normally with their
    // terminator.
    std::vector<BYTE> data;
    // Folder of the file that declared the value; null when it came from nowhere on disk.
    std::shared_ptr<const std::string> origin;
};

class Key {
public:
    Key(std::u16string name, Key* parent);
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    const std::u16string& name() const { return _name; }
    Key* parent() const { return _parent; }
    // 0 for a root.
    unsigned depth() const { return _depth; }

    // Lookups take a folded name (foldName).
    Key* child(std::u16string_view folded) const;
    const Value* value(std::u16string_view folded) const;

    // The subkey with that name, created with this spelling when missing.
    Key* ensureChild(std::u16string_view name, bool* created = nullptr);
    // Detaches a subkey with its subtree; null when there is none.
    std::unique_ptr<Key> removeChild(std::u16string_view folded);
    // Stores a value; an existing one of the same name keeps its spelling. Returns what it
    // replaced.
    std::optional<Value> setValue(Value value);
    std::optional<Value> removeValue(std::u16string_view folded);

    // Enumeration in folded-name order. Only valid after reindex() following the last change of
    // this key; the store calls reindex() once per changed key rather than on every change, so
    // that loading a key with many subkeys stays O(n log n).
    std::size_t childCount() const { return _childOrder.size(); }
    Key* childAt(std::size_t index) const { return _childOrder[index]; }
    std::size_t valueCount() const { return _valueOrder.size(); }
    const Value* valueAt(std::size_t index) const { return _valueOrder[index]; }

    void reindex();
    // Reindexes every key of the subtree that changed since its last reindex.
    void reindexTree();

private:
    std::u16string _name;
    Key* _parent;
    unsigned _depth;
    bool _stale = false;
    std::map<std::u16string, std::unique_ptr<Key>, std::less<>> _children; // by folded name
    std::map<std::u16string, Value, std::less<>> _values;                  // by folded name
    std::vector<Key*> _childOrder;
    std::vector<const Value*> _valueOrder;
};

} // namespace platform::regtree
