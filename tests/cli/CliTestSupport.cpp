#include "CliTestSupport.h"

#include "servers/test/TestServers.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

namespace clitest {

namespace {

using Clock = std::chrono::steady_clock;

void appendUtf8(std::string& out, unsigned codePoint)
{
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

} // namespace

// --- Folders -----------------------------------------------------------------------------------

TempDir::TempDir()
{
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, "tagvista-cli-%08x", static_cast<unsigned>(random()));
        if (std::filesystem::create_directory(base / name)) {
            _path = (base / name).generic_string();
            return;
        }
    }
    throw std::runtime_error("no temporary folder could be made in " + base.generic_string());
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(_path, ec);
}

void TempDir::write(const std::string& name, const std::string& text) const
{
    std::filesystem::create_directories(std::filesystem::path(*this / name).parent_path());
    std::ofstream out(*this / name, std::ios::binary);
    out << text;
}

std::vector<std::string> TempDir::entries() const
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(_path))
        names.push_back(entry.path().filename().generic_string());
    return names;
}

void Environment::setHangMilliseconds(unsigned milliseconds)
{
    setUserDword(servers::test::kHangKey, servers::test::kHangValue, milliseconds);
}

// --- The child ---------------------------------------------------------------------------------

bool Child::readUntil(const std::function<bool(const std::string& out, const std::string& err)>& ready)
{
    const auto deadline = Clock::now() + kDeadline;
    while (!ready(_outText, _errText)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        if (!readSome(left)) return ready(_outText, _errText);
    }
    return true;
}

Result run(const std::vector<std::string>& args, const Environment& environment)
{
    Child child(args, environment);
    return child.finish();
}

// --- Texts ---------------------------------------------------------------------------------

std::vector<std::string> Result::outLines() const
{
    return splitLines(out);
}

std::vector<std::string> Result::errLines() const
{
    return splitLines(err);
}

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> splitTabs(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = line.find('\t', start);
        fields.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return fields;
        start = end + 1;
    }
}

std::optional<std::vector<std::vector<std::string>>> parseCsv(const std::string& text)
{
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> record;
    std::string field;
    bool quoted = false;       // inside a quoted field
    bool wasQuoted = false;    // the current field was quoted: only a separator may follow
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c != '"') {
                field += c;
            } else if (i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else {
                quoted = false;
                wasQuoted = true;
            }
            continue;
        }
        if (c == ',' || c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            record.push_back(field);
            field.clear();
            wasQuoted = false;
            if (c == '\r') ++i;
            if (c != ',') {
                records.push_back(record);
                record.clear();
            }
            continue;
        }
        if (wasQuoted) return std::nullopt;
        if (c == '"') {
            if (!field.empty()) return std::nullopt;
            quoted = true;
            continue;
        }
        if (c == '\r') return std::nullopt;  // a bare CR is quoted by the writer
        field += c;
    }
    if (quoted) return std::nullopt;
    if (!field.empty() || !record.empty()) {
        record.push_back(field);
        records.push_back(record);
    }
    return records;
}

std::optional<std::map<std::string, std::string>> parseJsonObject(const std::string& line)
{
    std::size_t at = 0;
    const auto skipBlanks = [&] {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    };
    const auto hex4 = [&](unsigned& value) {
        if (at + 4 > line.size()) return false;
        value = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = line[at++];
            value <<= 4;
            if (c >= '0' && c <= '9') value |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f') value |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') value |= static_cast<unsigned>(c - 'A' + 10);
            else return false;
        }
        return true;
    };
    const auto string = [&](std::string& out) {
        if (at >= line.size() || line[at] != '"') return false;
        ++at;
        while (at < line.size()) {
            const auto c = static_cast<unsigned char>(line[at++]);
            if (c == '"') return true;
            if (c < 0x20) return false;  // must have been escaped
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (at >= line.size()) return false;
            const char e = line[at++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                unsigned unit = 0;
                if (!hex4(unit)) return false;
                if (unit >= 0xD800 && unit <= 0xDBFF) {
                    unsigned low = 0;
                    if (line.compare(at, 2, "\\u") != 0) return false;
                    at += 2;
                    if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
                    return false;
                }
                appendUtf8(out, unit);
                break;
            }
            default:
                return false;
            }
        }
        return false;
    };

    std::map<std::string, std::string> object;
    skipBlanks();
    if (at >= line.size() || line[at++] != '{') return std::nullopt;
    skipBlanks();
    if (at < line.size() && line[at] == '}') return ++at == line.size() ? std::optional(object) : std::nullopt;
    for (;;) {
        std::string key;
        std::string value;
        skipBlanks();
        if (!string(key)) return std::nullopt;
        skipBlanks();
        if (at >= line.size() || line[at++] != ':') return std::nullopt;
        skipBlanks();
        if (!string(value)) return std::nullopt;
        if (!object.emplace(key, value).second) return std::nullopt;  // a key twice
        skipBlanks();
        if (at >= line.size()) return std::nullopt;
        const char next = line[at++];
        if (next == '}') break;
        if (next != ',') return std::nullopt;
    }
    skipBlanks();
    if (at != line.size()) return std::nullopt;
    return object;
}

} // namespace clitest
