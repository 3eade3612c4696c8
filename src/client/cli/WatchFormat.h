// The line forms of the watch command (tab-separated text, CSV with a header line, JSON Lines)
// and the text clean-ups they rest on. Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace cli {

enum class WatchFormat { Text, Csv, Json };

// "text", "csv" or "json"; nothing for any other name.
std::optional<WatchFormat> watchFormatFromName(std::string_view name);

// One value notification as the watch prints it: the item's path and the four texts of the item
// table, all UTF-8.
struct WatchRow {
    std::string path;
    std::string type;
    std::string value;
    std::string time;
    std::string quality;
};

// What comes before the first row, line feed included; only CSV has one (the column names).
std::string watchHeader(WatchFormat format);
// One row as one line, line feed included. Text: the five fields joined by tabs, each cleaned by
// oneLine. CSV: RFC 4180 fields, so a field may span lines inside its quotes. JSON: one object
// with the keys path, type, value, time and quality.
std::string watchLine(WatchFormat format, const WatchRow& row);

// For output read line by line: every control character (C0, DEL and C1, tabs and line ends
// among them) becomes a blank, so a server's text can neither split a record nor steer the
// terminal. Everything else passes as it is.
std::string oneLine(std::string_view text);
// One CSV field after RFC 4180: quoted when it holds a comma, a quote, CR or LF, with its quotes
// doubled; as it is otherwise.
std::string csvField(std::string_view text);
// A JSON string literal, quotes included: quote, backslash and every control character below
// U+0020 escaped. Valid UTF-8 passes as it is; a byte that does not belong to a valid UTF-8
// sequence becomes U+FFFD, so the result is always valid JSON.
std::string jsonString(std::string_view text);

} // namespace cli
