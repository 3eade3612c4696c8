#include "servers/kit/BrowseElements.h"

#include "servers/kit/ValueGenerator.h"

namespace servers::kit {

namespace {

// Moves at onto the next child the filters let through, and names it; false at the end.
bool seek(const AddressSpace& space, NodeId node, OPCBROWSEFILTER filter, const Wildcard& names, LevelPosition& at,
          platform::WideString& name)
{
    if (!at.items) {
        if (filter != OPC_BROWSE_FILTER_ITEMS) {
            for (const std::size_t count = space.branchCount(node); at.index < count; ++at.index) {
                name = space.branchName(space.branchAt(node, static_cast<std::size_t>(at.index)));
                if (names.matches(name)) return true;
            }
        }
        at = LevelPosition{true, 0};
    }
    if (filter == OPC_BROWSE_FILTER_BRANCHES) return false;
    for (const std::size_t count = space.leafCount(node); at.index < count; ++at.index) {
        name = space.leafName(space.leafAt(node, static_cast<std::size_t>(at.index)));
        if (names.matches(name)) return true;
    }
    return false;
}

std::uint64_t hashText(std::uint64_t h, platform::WideStringView text)
{
    // The length first, so that two texts never run into each other.
    h = mix64(h ^ text.size());
    for (const WCHAR c : text) h = mix64(h ^ static_cast<std::uint64_t>(c));
    return h;
}

std::uint64_t seal(std::uint64_t key, LevelPosition at)
{
    return mix64(mix64(key ^ (at.items ? 0x6974656D73ull : 0x6272616E63ull)) ^ at.index);
}

constexpr std::size_t kSealDigits = 16;

} // namespace

LevelPiece browseLevel(const AddressSpace& space, NodeId node, OPCBROWSEFILTER filter, const Wildcard& names,
                       LevelPosition from, std::size_t max)
{
    LevelPiece piece;
    LevelPosition at = from;
    platform::WideString name;
    while (seek(space, node, filter, names, at, name)) {
        if (piece.elements.size() >= max) {
            piece.more = true;
            piece.next = at;
            break;
        }
        BrowseElement& e = piece.elements.emplace_back();
        const auto index = static_cast<std::size_t>(at.index);
        if (at.items) {
            e.itemId = space.itemId(space.leafAt(node, index));
            e.flags = OPC_BROWSE_ISITEM;
        } else {
            e.itemId = space.branchPath(space.branchAt(node, index));
            e.flags = OPC_BROWSE_HASCHILDREN;
        }
        e.name = std::move(name);
        ++at.index;
    }
    return piece;
}

std::uint64_t browseKey(std::uint64_t salt, platform::WideStringView itemId, OPCBROWSEFILTER filter,
                        platform::WideStringView nameFilter)
{
    return hashText(hashText(mix64(salt ^ static_cast<std::uint64_t>(filter)), itemId), nameFilter);
}

// "<b or i><index>.<seal in 16 hex digits>", e.g. "i1000.3f09c2d1a8b7e654".
platform::WideString continuationPoint(std::uint64_t key, LevelPosition at)
{
    const std::string index = std::to_string(at.index);
    platform::WideString text(1, at.items ? OLESTR('i') : OLESTR('b'));
    text.append(index.begin(), index.end());
    text += OLESTR('.');
    const std::uint64_t s = seal(key, at);
    for (std::size_t i = 0; i < kSealDigits; ++i) {
        const unsigned digit = static_cast<unsigned>(s >> (4 * (kSealDigits - 1 - i))) & 0xF;
        text += static_cast<WCHAR>(digit < 10 ? OLESTR('0') + digit : OLESTR('a') + digit - 10);
    }
    return text;
}

bool parseContinuationPoint(platform::WideStringView text, std::uint64_t key, LevelPosition& at)
{
    if (text.size() < 3 + kSealDigits || (text[0] != OLESTR('b') && text[0] != OLESTR('i'))) return false;
    LevelPosition parsed{text[0] == OLESTR('i'), 0};
    std::size_t i = 1;
    // At most 19 digits: never past what 64 bits hold.
    for (; i < text.size() && text[i] >= OLESTR('0') && text[i] <= OLESTR('9'); ++i) {
        if (i > 19) return false;
        parsed.index = parsed.index * 10 + static_cast<std::uint64_t>(text[i] - OLESTR('0'));
    }
    if (i == 1 || i >= text.size() || text[i] != OLESTR('.') || text.size() - i - 1 != kSealDigits) return false;
    std::uint64_t s = 0;
    for (++i; i < text.size(); ++i) {
        const WCHAR c = text[i];
        unsigned digit;
        if (c >= OLESTR('0') && c <= OLESTR('9')) digit = c - OLESTR('0');
        else if (c >= OLESTR('a') && c <= OLESTR('f')) digit = c - OLESTR('a') + 10;
        else return false;
        s = (s << 4) | digit;
    }
    if (s != seal(key, parsed)) return false;
    at = parsed;
    return true;
}

} // namespace servers::kit
