#include "platform/RegTree.h"

namespace platform::regtree {

std::u16string foldName(std::u16string_view name)
{
    std::u16string folded(name);
    for (char16_t& c : folded) {
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return folded;
}

Key::Key(std::u16string name, Key* parent)
    : _name(std::move(name)), _parent(parent), _depth(parent ? parent->_depth + 1 : 0)
{
}

Key* Key::child(std::u16string_view folded) const
{
    auto it = _children.find(folded);
    return it == _children.end() ? nullptr : it->second.get();
}

const Value* Key::value(std::u16string_view folded) const
{
    auto it = _values.find(folded);
    return it == _values.end() ? nullptr : &it->second;
}

Key* Key::ensureChild(std::u16string_view name, bool* created)
{
    std::u16string folded = foldName(name);
    auto it = _children.find(folded);
    if (it != _children.end()) {
        if (created)
            *created = false;
        return it->second.get();
    }
    auto key = std::make_unique<Key>(std::u16string(name), this);
    Key* result = key.get();
    _children.emplace(std::move(folded), std::move(key));
    _stale = true;
    if (created)
        *created = true;
    return result;
}

std::unique_ptr<Key> Key::removeChild(std::u16string_view folded)
{
    auto it = _children.find(folded);
    if (it == _children.end())
        return nullptr;
    std::unique_ptr<Key> key = std::move(it->second);
    _children.erase(it);
    key->_parent = nullptr;
    _stale = true;
    return key;
}

std::optional<Value> Key::setValue(Value value)
{
    std::u16string folded = foldName(value.name);
    auto it = _values.find(folded);
    if (it != _values.end()) {
        std::optional<Value> old = std::move(it->second);
        value.name = old->name;
        it->second = std::move(value);
        return old;
    }
    _values.emplace(std::move(folded), std::move(value));
    _stale = true;
    return std::nullopt;
}

std::optional<Value> Key::removeValue(std::u16string_view folded)
{
    auto it = _values.find(folded);
    if (it == _values.end())
        return std::nullopt;
    std::optional<Value> old = std::move(it->second);
    _values.erase(it);
    _stale = true;
    return old;
}

void Key::reindex()
{
    _childOrder.clear();
    _childOrder.reserve(_children.size());
    for (auto& [folded, key] : _children)
        _childOrder.push_back(key.get());
    _valueOrder.clear();
    _valueOrder.reserve(_values.size());
    for (auto& [folded, value] : _values)
        _valueOrder.push_back(&value);
    _stale = false;
}

void Key::reindexTree()
{
    // Recursion depth is bounded by maxDepth, which every creator of keys enforces.
    if (_stale)
        reindex();
    for (auto& [folded, key] : _children)
        key->reindexTree();
}

} // namespace platform::regtree
