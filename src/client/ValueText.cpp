#include "ValueText.h"

#include "platform/Text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>

std::string typeText(VARTYPE type)
{
    static const char* const names[74] = {
        "VT_EMPTY", "VT_NULL", "VT_I2", "VT_I4", "VT_R4", "VT_R8", "VT_CY", "VT_DATE", "VT_BSTR", "VT_DISPATCH",
        "VT_ERROR", "VT_BOOL", "VT_VARIANT", "VT_UNKNOWN", "VT_DECIMAL", nullptr, "VT_I1", "VT_UI1", "VT_UI2",
        "VT_UI4", "VT_I8", "VT_UI8", "VT_INT", "VT_UINT", "VT_VOID", "VT_HRESULT", "VT_PTR", "VT_SAFEARRAY",
        "VT_CARRAY", "VT_USERDEFINED", "VT_LPSTR", "VT_LPWSTR", nullptr, nullptr, nullptr, nullptr, "VT_RECORD",
        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
        nullptr, nullptr, nullptr, "VT_FILETIME", "VT_BLOB", "VT_STREAM", "VT_STORAGE", "VT_STREAMED_OBJECT",
        "VT_STORED_OBJECT", "VT_BLOB_OBJECT", "VT_CF", "VT_CLSID", "VT_VERSIONED_STREAM"};
    std::string text = (type & VT_ARRAY) ? "array of " : "";
    const unsigned base = type & ~unsigned(VT_ARRAY);
    if (base < 74 && names[base]) return text + names[base];
    return text + "type #" + std::to_string(type);
}

std::string realText(double value)
{
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
    char buffer[64];
    // %.15G without the C library's locale: to_chars gives the same digits and choice of
    // notation ("1e+20"); the exponent is then written the table's way ("1E20", "1E-5").
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
    std::string text(buffer, result.ptr);
    const std::size_t e = text.find('e');
    if (e != std::string::npos) {
        std::string exponent = text.substr(e + 1);
        const bool negative = !exponent.empty() && exponent[0] == '-';
        if (!exponent.empty() && (exponent[0] == '-' || exponent[0] == '+')) exponent.erase(0, 1);
        const std::size_t digits = exponent.find_first_not_of('0');
        exponent = digits == std::string::npos ? "0" : exponent.substr(digits);
        text = text.substr(0, e) + "E" + (negative ? "-" : "") + exponent;
    }
    const char separator = platform::userNumberFormat().decimalSeparator;
    if (separator != '.') {
        const std::size_t point = text.find('.');
        if (point != std::string::npos) text[point] = separator;
    }
    return text;
}

std::string valueText(const VARIANT& value)
{
    const VARTYPE type = value.vt;
    if (type & VT_ARRAY) return "[array]";
    switch (type) {
    case VT_EMPTY:
        return "";
    case VT_NULL:
        return "0";
    case VT_I2:
        return std::to_string(value.iVal);
    case VT_I4:
        return std::to_string(value.lVal);
    case VT_I1:
        return std::to_string(static_cast<int>(static_cast<signed char>(value.cVal)));
    case VT_R4:
        return realText(static_cast<double>(value.fltVal));
    case VT_R8:
        return realText(value.dblVal);
    case VT_BOOL:
        return value.boolVal ? "true" : "false";
    case VT_BSTR: {
        // The text up to its first zero character, if it fits 255 bytes in the code page;
        // otherwise the general rule below decides. The string's own length bounds the search:
        // its terminator is not trusted, a server may have sent an odd byte count.
        const platform::WideStringView all(value.bstrVal ? value.bstrVal : OLESTR(""), SysStringLen(value.bstrVal));
        const platform::WideStringView text = all.substr(0, all.find(OLESTR('\0')));
        if (text.empty()) return std::string();
        char buffer[255];
        if (text.size() > sizeof buffer) break;  // every character takes a byte at least
        const int length = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), buffer,
                                               static_cast<int>(sizeof buffer), nullptr, nullptr);
        if (length > 0) return std::string(buffer, static_cast<std::size_t>(length));
        break;
    }
    default:
        break;
    }
    platform::Variant number;
    if (SUCCEEDED(VariantChangeType(number.get(), platform::asSource(&value), 0, VT_R8))) return realText(number->dblVal);
    return typeText(type);
}

std::string timeStampText(const FILETIME& timeStamp)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return timeStampText(timeStamp, now);
}

std::string timeStampText(const FILETIME& timeStamp, const SYSTEMTIME& now)
{
    SYSTEMTIME time;
    if (!FileTimeToSystemTime(&timeStamp, &time)) {
        // Beyond the calendar's range: the raw count, so the operator still sees what came.
        char raw[32];
        std::snprintf(raw, sizeof raw, "#%llX",
                      static_cast<unsigned long long>(platform::fileTimeToU64(timeStamp)));
        return raw;
    }
    char text[64];
    if (time.wDay == now.wDay) {
        std::snprintf(text, sizeof text, "%2d:%02d:%02d:%03d", time.wHour, time.wMinute, time.wSecond,
                      time.wMilliseconds);
    } else {
        std::snprintf(text, sizeof text, "%04d/%02d/%02d %d:%02d:%02d:%03d", time.wYear, time.wMonth, time.wDay,
                      time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
    }
    return text;
}

std::string qualityText(WORD quality)
{
    switch (quality & 0xFC) {
    case 0x00: return "BAD";
    case 0x04: return "BAD: config error";
    case 0x08: return "BAD: not connected";
    case 0x0C: return "BAD: device failure";
    case 0x10: return "BAD: sensor failure";
    case 0x14: return "BAD: last known";
    case 0x18: return "BAD: comm failure";
    case 0x1C: return "BAD: out of service";
    case 0x40: return "UNCERTAIN";
    case 0x44: return "UNCERTAIN: last usable";
    case 0x50: return "UNCERTAIN: sensor cal";
    case 0x54: return "UNCERTAIN: egu exceeded";
    case 0x58: return "UNCERTAIN: sub normal";
    case 0xC0: return "GOOD";
    case 0xD8: return "GOOD: local override";
    default: break;
    }
    char text[32];
    switch (quality & 0xC0) {
    case 0x00: std::snprintf(text, sizeof text, "BAD: #%X", quality & 0xFC); break;
    case 0x40: std::snprintf(text, sizeof text, "UNCERTAIN: #%X", quality & 0xFC); break;
    case 0xC0: std::snprintf(text, sizeof text, "GOOD: #%X", quality & 0xFC); break;
    default: std::snprintf(text, sizeof text, "#%X", quality); break;
    }
    return text;
}

std::string valueText(const OPC_Item& item)
{
    return valueText(*item.readValue().value.get());
}

std::string timeStampText(const OPC_Item& item)
{
    return timeStampText(item.readValue().timeStamp);
}
