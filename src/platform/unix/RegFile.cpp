#include "platform/RegFile.h"

#include "platform/Registry.h"

#include <array>

namespace platform::regfile {

namespace {

constexpr std::string_view headerV4 = "REGEDIT4";
constexpr std::string_view headerV5 = "Windows Registry Editor Version 5.00";
constexpr char16_t replacementChar = 0xFFFD;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trim(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

char upperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (upperAscii(a[i]) != upperAscii(b[i]))
            return false;
    }
    return true;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// 1 to 8 hex digits, nothing else.
bool parseHex32(std::string_view text, DWORD& out)
{
    if (text.empty() || text.size() > 8)
        return false;
    DWORD result = 0;
    for (char c : text) {
        int d = hexDigit(c);
        if (d < 0)
            return false;
        result = (result << 4) | static_cast<DWORD>(d);
    }
    out = result;
    return true;
}

// What may follow a complete value on its line: blanks and a comment.
bool onlyCommentLeft(std::string_view rest)
{
    rest = trim(rest);
    return rest.empty() || rest.front() == ';';
}

// A quoted text starting at text[pos] == '"', with \\ and \" as the only escapes (a backslash
// before anything else is kept, so hand-written paths survive). Leaves pos after the closing
// quote; false when there is none.
bool readQuoted(std::string_view text, std::size_t& pos, std::string& out)
{
    for (std::size_t i = pos + 1; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
            out.push_back(text[++i]);
        } else if (c == '"') {
            pos = i + 1;
            return true;
        } else {
            out.push_back(c);
        }
    }
    return false;
}

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

struct RootAlias {
    std::array<std::string_view, 3> components;
    std::size_t count;
};

constexpr std::array<RootAlias, 4> classesAliases{{
    {{"HKEY_CLASSES_ROOT"}, 1},
    {{"HKCR"}, 1},
    {{"HKEY_LOCAL_MACHINE", "SOFTWARE", "Classes"}, 3},
    {{"HKLM", "SOFTWARE", "Classes"}, 3},
}};
constexpr std::array<RootAlias, 2> userAliases{{
    {{"HKEY_CURRENT_USER"}, 1},
    {{"HKCU"}, 1},
}};

// How many leading components name the root, or 0 when the path lies outside it.
template <std::size_t N>
std::size_t matchRoot(const std::vector<std::string_view>& components, const std::array<RootAlias, N>& aliases)
{
    for (const RootAlias& alias : aliases) {
        if (components.size() < alias.count)
            continue;
        bool match = true;
        for (std::size_t i = 0; i < alias.count && match; ++i)
            match = equalsIgnoringCase(components[i], alias.components[i]);
        if (match)
            return alias.count;
    }
    return 0;
}

class Reader {
public:
    Reader(std::string_view text, const std::string& fileName, Root root, regtree::Key& rootKey,
           const std::shared_ptr<const std::string>& origin, std::vector<std::string>& diagnostics)
        : _text(text), _fileName(fileName), _root(root), _rootKey(rootKey), _origin(origin),
          _diagnostics(diagnostics)
    {
    }

    // False when the file has no known header and was skipped whole.
    bool run();
    void complain(std::size_t line, std::string_view reason);
    std::size_t lineCount() const { return _lineNo; }
    std::size_t complaints() const { return _complaints; }
    void finish();

private:
    bool readLine(std::string_view& line);
    void unread();
    bool readHeader();
    void section(std::string_view line);
    void value(std::string_view line);
    bool gatherContinuation(std::string& data, std::size_t firstLine);
    bool parseHex(std::string_view text, std::size_t line, DWORD& type, std::vector<BYTE>& bytes);

    // Where values go now, and why not when there is no such key.
    enum class State { beforeSection, inKey, badSection, deletedKey };

    std::string_view _text;
    const std::string& _fileName;
    Root _root;
    regtree::Key& _rootKey;
    const std::shared_ptr<const std::string>& _origin;
    std::vector<std::string>& _diagnostics;

    std::size_t _pos = 0;
    std::size_t _lineNo = 0;
    std::size_t _prevPos = 0;
    std::size_t _prevLineNo = 0;
    bool _v4 = false;
    State _state = State::beforeSection;
    regtree::Key* _current = nullptr;
    std::size_t _complaints = 0;
};

bool Reader::readLine(std::string_view& line)
{
    if (_pos >= _text.size())
        return false;
    _prevPos = _pos;
    _prevLineNo = _lineNo;
    // LF, CR LF, or CR alone as older editors write it.
    std::size_t end = _text.find_first_of("\r\n", _pos);
    std::size_t next;
    if (end == std::string_view::npos)
        end = next = _text.size();
    else if (_text[end] == '\r' && end + 1 < _text.size() && _text[end + 1] == '\n')
        next = end + 2;
    else
        next = end + 1;
    line = _text.substr(_pos, end - _pos);
    _pos = next;
    ++_lineNo;
    return true;
}

void Reader::unread()
{
    _pos = _prevPos;
    _lineNo = _prevLineNo;
}

void Reader::complain(std::size_t line, std::string_view reason)
{
    if (_complaints++ < maxDiagnosticsPerFile)
        _diagnostics.push_back(_fileName + ":" + std::to_string(line) + ": " + std::string(reason));
}

void Reader::finish()
{
    if (_complaints > maxDiagnosticsPerFile) {
        _diagnostics.push_back(_fileName + ": " + std::to_string(_complaints - maxDiagnosticsPerFile) +
                               " more problems not listed");
    }
}

bool Reader::readHeader()
{
    std::string_view line;
    while (readLine(line)) {
        std::string_view text = trim(line);
        if (text.empty())
            continue;
        if (text == headerV4) {
            _v4 = true;
            return true;
        }
        if (text == headerV5)
            return true;
        complain(_lineNo, "not a registry file (unknown header); file skipped");
        return false;
    }
    complain(_lineNo == 0 ? 1 : _lineNo, "not a registry file (no header); file skipped");
    return false;
}

bool Reader::run()
{
    if (!readHeader())
        return false;
    std::string_view line;
    while (readLine(line)) {
        if (line.find('\0') != std::string_view::npos) {
            complain(_lineNo, "NUL byte in line");
            continue;
        }
        std::string_view text = trim(line);
        if (text.empty() || text.front() == ';')
            continue;
        if (text.front() == '[')
            section(text);
        else if (text.front() == '"' || text.front() == '@')
            value(text);
        else
            complain(_lineNo, "unrecognised line");
    }
    return true;
}

void Reader::section(std::string_view text)
{
    _current = nullptr;
    _state = State::badSection;
    if (text.size() < 2 || text.back() != ']') {
        complain(_lineNo, "key line without closing bracket; its values are skipped");
        return;
    }
    std::string_view inner = text.substr(1, text.size() - 2);
    bool deletion = !inner.empty() && inner.front() == '-';
    if (deletion)
        inner.remove_prefix(1);
    std::vector<std::string_view> components = split(inner, '\\');
    std::size_t skip = _root == Root::classes ? matchRoot(components, classesAliases)
                                              : matchRoot(components, userAliases);
    if (skip == 0) {
        complain(_lineNo, _root == Root::classes ? "key outside HKEY_CLASSES_ROOT; its values are skipped"
                                                 : "key outside HKEY_CURRENT_USER; its values are skipped");
        return;
    }
    if (components.size() - skip > regtree::maxDepth) {
        complain(_lineNo, "key path nested too deep; its values are skipped");
        return;
    }
    for (std::size_t i = skip; i < components.size(); ++i) {
        if (components[i].empty()) {
            complain(_lineNo, "empty key name in path; its values are skipped");
            return;
        }
    }
    if (deletion) {
        if (components.size() == skip) {
            complain(_lineNo, "a root cannot be deleted");
            return;
        }
        regtree::Key* parent = &_rootKey;
        for (std::size_t i = skip; parent && i + 1 < components.size(); ++i)
            parent = parent->child(regtree::foldName(toUtf16(components[i])));
        if (parent)
            parent->removeChild(regtree::foldName(toUtf16(components.back())));
        _state = State::deletedKey;
        return;
    }
    regtree::Key* key = &_rootKey;
    for (std::size_t i = skip; i < components.size(); ++i)
        key = key->ensureChild(toUtf16(components[i]));
    _current = key;
    _state = State::inKey;
}

bool Reader::gatherContinuation(std::string& data, std::size_t firstLine)
{
    for (;;) {
        std::string_view tail = trim(data);
        if (tail.empty() || tail.back() != '\\')
            return true;
        data.resize(static_cast<std::size_t>(tail.data() - data.data()) + tail.size() - 1);
        std::string_view next;
        if (!readLine(next)) {
            complain(firstLine, "value continues past the end of the file");
            return false;
        }
        if (next.find('\0') != std::string_view::npos) {
            complain(firstLine, "NUL byte in the continuation of a value");
            return false;
        }
        std::string_view text = trim(next);
        if (text.empty() || text.front() == '[' || text.front() == '"' || text.front() == '@' ||
            text.front() == ';') {
            // The value was cut short; the line belongs to what follows.
            unread();
            complain(firstLine, "value continuation missing");
            return false;
        }
        data.append(text);
    }
}

bool Reader::parseHex(std::string_view text, std::size_t line, DWORD& type, std::vector<BYTE>& bytes)
{
    // text starts with "hex" (any case).
    text.remove_prefix(3);
    type = REG_BINARY;
    if (!text.empty() && text.front() == '(') {
        std::size_t close = text.find(')');
        if (close == std::string_view::npos || !parseHex32(text.substr(1, close - 1), type)) {
            complain(line, "malformed type in hex(...)");
            return false;
        }
        text.remove_prefix(close + 1);
    }
    if (text.empty() || text.front() != ':') {
        complain(line, "unknown value type");
        return false;
    }
    text.remove_prefix(1);
    std::size_t comment = text.find(';');
    if (comment != std::string_view::npos)
        text = text.substr(0, comment);
    text = trim(text);
    bytes.clear();
    if (text.empty())
        return true;
    bytes.reserve(text.size() / 3 + 1);
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find(',', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view token = trim(text.substr(pos, end - pos));
        bool last = end == text.size();
        if (token.empty() && last && pos > 0)
            break; // a trailing comma
        int hi = token.size() == 2 ? hexDigit(token[0]) : 0;
        int lo = token.empty() ? -1 : hexDigit(token.back());
        if (token.empty() || token.size() > 2 || hi < 0 || lo < 0) {
            complain(line, "malformed hex data");
            return false;
        }
        bytes.push_back(static_cast<BYTE>(hi * 16 + lo));
        pos = end + 1;
    }
    return true;
}

void Reader::value(std::string_view text)
{
    const std::size_t line = _lineNo;
    std::size_t i = 0;
    std::string name;
    if (text.front() == '@') {
        i = 1;
    } else if (!readQuoted(text, i, name)) {
        complain(line, "value name without closing quote");
        return;
    }
    while (i < text.size() && isBlank(text[i]))
        ++i;
    if (i >= text.size() || text[i] != '=') {
        complain(line, "missing '=' after the value name");
        return;
    }
    ++i;
    while (i < text.size() && isBlank(text[i]))
        ++i;
    std::string_view rest = text.substr(i);

    bool remove = false;
    regtree::Value value;
    if (startsWithIgnoringCase(rest, "hex")) {
        std::string data(rest);
        if (!gatherContinuation(data, line))
            return;
        if (!parseHex(data, line, value.type, value.data))
            return;
        // REGEDIT4 stores text types in the code page; keep them as the platform does.
        if (_v4 && (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ)) {
            std::string_view raw(reinterpret_cast<const char*>(value.data.data()), value.data.size());
            value.data = utf16Bytes(toUtf16(raw));
        }
    } else if (!rest.empty() && rest.front() == '-' && onlyCommentLeft(rest.substr(1))) {
        remove = true;
    } else if (!rest.empty() && rest.front() == '"') {
        std::string str;
        std::size_t j = 0;
        if (!readQuoted(rest, j, str)) {
            complain(line, "string without closing quote");
            return;
        }
        if (!onlyCommentLeft(rest.substr(j))) {
            complain(line, "unexpected text after the string");
            return;
        }
        value.type = REG_SZ;
        std::u16string units = toUtf16(str);
        units.push_back(u'\0');
        value.data = utf16Bytes(units);
    } else if (startsWithIgnoringCase(rest, "dword:")) {
        rest.remove_prefix(6);
        std::size_t comment = rest.find(';');
        DWORD number = 0;
        if (!parseHex32(trim(rest.substr(0, comment)), number)) {
            complain(line, "malformed dword");
            return;
        }
        value.type = REG_DWORD;
        value.data = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8), static_cast<BYTE>(number >> 16),
                      static_cast<BYTE>(number >> 24)};
    } else {
        complain(line, "unknown value type");
        return;
    }

    switch (_state) {
    case State::beforeSection:
        complain(line, "value before any key");
        return;
    case State::badSection:
        complain(line, "value of a skipped key");
        return;
    case State::deletedKey:
        complain(line, "value of a deleted key");
        return;
    case State::inKey:
        break;
    }
    std::u16string name16 = toUtf16(name);
    if (remove) {
        _current->removeValue(regtree::foldName(name16));
        return;
    }
    value.name = std::move(name16);
    value.origin = _origin;
    _current->setValue(std::move(value));
}

// UTF-16 bytes in the given order to UTF-8; an odd last byte is dropped and flagged.
std::string decodeUtf16(std::string_view bytes, bool bigEndian, bool& oddLength)
{
    const std::size_t count = bytes.size() / 2;
    oddLength = bytes.size() % 2 != 0;
    std::u16string units(count, u'\0');
    for (std::size_t i = 0; i < count; ++i) {
        auto first = static_cast<BYTE>(bytes[2 * i]);
        auto second = static_cast<BYTE>(bytes[2 * i + 1]);
        units[i] = static_cast<char16_t>(bigEndian ? (first << 8) | second : first | (second << 8));
    }
    return toUtf8(units);
}

void appendHexByte(std::string& out, BYTE b)
{
    static constexpr char digits[] = "0123456789abcdef";
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
}

void appendQuoted(std::string& out, std::string_view text)
{
    out.push_back('"');
    for (char c : text) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
}

// Whether a REG_SZ can be written as "..." and read back to the same bytes: exactly one
// terminator, at the end, no line breaks, and nothing the UTF-8 text would change.
bool writableAsString(const std::vector<BYTE>& data)
{
    if (data.size() < 2 || data.size() % 2 != 0)
        return false;
    std::u16string units = fromUtf16Bytes(data);
    if (units.back() != u'\0')
        return false;
    units.pop_back();
    for (char16_t c : units) {
        if (c == u'\0' || c == u'\n' || c == u'\r')
            return false;
    }
    return toUtf16(toUtf8(units)) == units;
}

void writeValue(std::string& out, const regtree::Value& value)
{
    std::size_t lineStart = out.size();
    if (value.name.empty())
        out.push_back('@');
    else
        appendQuoted(out, toUtf8(value.name));
    out.push_back('=');
    if (value.type == REG_SZ && writableAsString(value.data)) {
        std::u16string units = fromUtf16Bytes(value.data);
        units.pop_back();
        appendQuoted(out, toUtf8(units));
    } else if (value.type == REG_DWORD && value.data.size() == 4) {
        out += "dword:";
        for (int i = 3; i >= 0; --i)
            appendHexByte(out, value.data[static_cast<std::size_t>(i)]);
    } else {
        if (value.type == REG_BINARY) {
            out += "hex:";
        } else {
            static constexpr char digits[] = "0123456789abcdef";
            std::string type;
            for (DWORD t = value.type; t != 0 || type.empty(); t >>= 4)
                type.insert(type.begin(), digits[t & 15]);
            out += "hex(" + type + "):";
        }
        // Lines of about 80 columns, continued with a backslash, as the editor writes them.
        for (std::size_t i = 0; i < value.data.size(); ++i) {
            appendHexByte(out, value.data[i]);
            if (i + 1 < value.data.size()) {
                out.push_back(',');
                if (out.size() - lineStart > 76) {
                    out += "\\\n  ";
                    lineStart = out.size() - 2;
                }
            }
        }
    }
    out.push_back('\n');
}

void writeKey(std::string& out, const regtree::Key& key, std::string& path)
{
    if (key.parent() != nullptr || key.valueCount() > 0) {
        out += "\n[";
        out += path;
        out += "]\n";
        for (std::size_t i = 0; i < key.valueCount(); ++i)
            writeValue(out, *key.valueAt(i));
    }
    // Recursion depth is bounded by regtree::maxDepth.
    for (std::size_t i = 0; i < key.childCount(); ++i) {
        const regtree::Key& child = *key.childAt(i);
        std::size_t length = path.size();
        path.push_back('\\');
        path += toUtf8(child.name());
        writeKey(out, child, path);
        path.resize(length);
    }
}

} // namespace

Taken apply(std::string_view bytes, const std::string& fileName, Root root, regtree::Key& rootKey,
            const std::shared_ptr<const std::string>& origin, std::vector<std::string>& diagnostics)
{
    auto at = [&bytes](std::size_t i) { return static_cast<BYTE>(bytes[i]); };
    std::string decoded;
    std::string_view text = bytes;
    bool oddLength = false;
    if (bytes.size() >= 2 && ((at(0) == 0xFF && at(1) == 0xFE) || (at(0) == 0xFE && at(1) == 0xFF))) {
        decoded = decodeUtf16(bytes.substr(2), at(0) == 0xFE, oddLength);
        text = decoded;
    } else if (bytes.size() >= 2 && (at(0) == 0) != (at(1) == 0)) {
        // Text that starts with a NUL byte beside a character is UTF-16 without a byte-order
        // mark; as UTF-8 its header could never match.
        decoded = decodeUtf16(bytes, at(0) == 0, oddLength);
        text = decoded;
    } else if (bytes.size() >= 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) {
        text.remove_prefix(3);
    }
    Reader reader(text, fileName, root, rootKey, origin, diagnostics);
    const bool headerRead = reader.run();
    if (oddLength)
        reader.complain(reader.lineCount(), "UTF-16 file of odd length; last byte ignored");
    reader.finish();
    if (!headerRead)
        return Taken::nothing;
    return reader.complaints() == 0 ? Taken::whole : Taken::partly;
}

std::string write(const regtree::Key& rootKey, Root root)
{
    std::string out(headerV5);
    out.push_back('\n');
    std::string path = root == Root::classes ? "HKEY_CLASSES_ROOT" : "HKEY_CURRENT_USER";
    writeKey(out, rootKey, path);
    return out;
}

std::u16string toUtf16(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        unsigned b0 = static_cast<unsigned char>(text[i]);
        if (b0 < 0x80) {
            out.push_back(static_cast<char16_t>(b0));
            ++i;
            continue;
        }
        std::size_t length;
        unsigned lowest = 0x80, highest = 0xBF; // allowed range of the second byte
        char32_t cp;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            length = 2;
            cp = b0 & 0x1F;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            length = 3;
            cp = b0 & 0x0F;
            if (b0 == 0xE0)
                lowest = 0xA0; // overlong
            if (b0 == 0xED)
                highest = 0x9F; // surrogates
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            length = 4;
            cp = b0 & 0x07;
            if (b0 == 0xF0)
                lowest = 0x90;
            if (b0 == 0xF4)
                highest = 0x8F;
        } else {
            out.push_back(replacementChar);
            ++i;
            continue;
        }
        std::size_t k = 1;
        for (; k < length && i + k < n; ++k) {
            unsigned b = static_cast<unsigned char>(text[i + k]);
            unsigned lo = k == 1 ? lowest : 0x80;
            unsigned hi = k == 1 ? highest : 0xBF;
            if (b < lo || b > hi)
                break;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (k < length) {
            // A maximal valid prefix becomes one replacement character.
            out.push_back(replacementChar);
            i += k;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += length;
    }
    return out;
}

std::string toUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = replacementChar;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::vector<BYTE> utf16Bytes(std::u16string_view text)
{
    std::vector<BYTE> bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t c : text) {
        bytes.push_back(static_cast<BYTE>(c & 0xFF));
        bytes.push_back(static_cast<BYTE>(c >> 8));
    }
    return bytes;
}

std::u16string fromUtf16Bytes(const std::vector<BYTE>& bytes)
{
    std::u16string text(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return text;
}

} // namespace platform::regfile
