#include "WatchFormat.h"

#include <cstdio>

namespace cli {

namespace {

// The length of the valid UTF-8 sequence that starts at text[at] (1 to 4), or 0 when the bytes
// there are not one: a stray continuation byte, a cut sequence, an overlong form, a surrogate or
// a code point past U+10FFFF.
std::size_t utf8Length(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;   // the range of the second byte, which rules out the overlong
    unsigned char high = 0xBF;  // forms, the surrogates and what lies past U+10FFFF
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
    return length;
}

} // namespace

std::optional<WatchFormat> watchFormatFromName(std::string_view name)
{
    if (name == "text") return WatchFormat::Text;
    if (name == "csv") return WatchFormat::Csv;
    if (name == "json") return WatchFormat::Json;
    return std::nullopt;
}

std::string oneLine(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            out += ' ';
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080 to U+009F: some terminals take U+009B as the start of a control sequence.
            out += ' ';
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string csvField(std::string_view text)
{
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

std::string jsonString(std::string_view text)
{
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const std::size_t length = utf8Length(text, i);
            if (length == 0) {
                out += "\xEF\xBF\xBD";  // U+FFFD for the one byte that fits nowhere
                ++i;
            } else {
                out.append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
                out += escape;
            } else {
                out += static_cast<char>(c);
            }
            break;
        }
        ++i;
    }
    out += '"';
    return out;
}

std::string watchHeader(WatchFormat format)
{
    return format == WatchFormat::Csv ? "path,type,value,time,quality\n" : "";
}

std::string watchLine(WatchFormat format, const WatchRow& row)
{
    switch (format) {
    case WatchFormat::Text:
        return oneLine(row.path) + '\t' + oneLine(row.type) + '\t' + oneLine(row.value) + '\t' + oneLine(row.time) +
               '\t' + oneLine(row.quality) + '\n';
    case WatchFormat::Csv:
        return csvField(row.path) + ',' + csvField(row.type) + ',' + csvField(row.value) + ',' + csvField(row.time) +
               ',' + csvField(row.quality) + '\n';
    case WatchFormat::Json:
        return "{\"path\":" + jsonString(row.path) + ",\"type\":" + jsonString(row.type) +
               ",\"value\":" + jsonString(row.value) + ",\"time\":" + jsonString(row.time) +
               ",\"quality\":" + jsonString(row.quality) + "}\n";
    }
    return {};
}

} // namespace cli
