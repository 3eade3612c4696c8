// VariantChangeType and the user locale's number punctuation.
//
// Every source value is first read into a Number: an integer (sign and 64-bit magnitude), a
// binary real (R4, R8, DATE), or an exact decimal (digits times a power of ten: CY, DECIMAL and
// number texts). Each target then takes what it needs from that, so that the rounding and range
// rules live in one place per target rather than once per pair of types:
//   - integer targets round half to even and check their range (DISP_E_OVERFLOW);
//   - CY rounds to four decimals half to even; DECIMAL keeps up to 28 decimals and 96 bits;
//   - R8 from an exact decimal is the correctly rounded double; R4 and DATE check their range.
// A number text is parsed into an exact decimal, so "9223372036854775807" reaches VT_I8 without
// passing through a double.
#include "platform/VariantAccess.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <langinfo.h>
#include <limits>
#include <locale.h>
#include <string>
#include <string_view>
#include <type_traits>

namespace {

__extension__ typedef unsigned __int128 U128;

constexpr U128 kDecimalLimit = U128(1) << 96;
constexpr int kMaxDecimalScale = 28;
constexpr std::size_t kMaxExactDigits = 29; // 10^29 > 2^96, the largest magnitude any exact target takes
constexpr double kMinDate = -657434.0;      // 0100-01-01
constexpr double kMaxDate = 2958465.0;      // 9999-12-31

// --- number punctuation ----------------------------------------------------------------------------

// Packed as decimal | thousands << 8 | kFormatSet, so readers on any thread see one whole pair.
constexpr std::uint32_t kFormatSet = 1u << 16;
std::atomic<std::uint32_t> g_numberFormat{0};

std::uint32_t packFormat(const platform::NumberFormat& f)
{
    return std::uint32_t(static_cast<unsigned char>(f.decimalSeparator)) |
           std::uint32_t(static_cast<unsigned char>(f.thousandsSeparator)) << 8 | kFormatSet;
}

platform::NumberFormat unpackFormat(std::uint32_t v)
{
    return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
}

// The separators of the environment's LC_NUMERIC. A separator the 8-bit format cannot hold is
// replaced: the no-break spaces that many locales group with become a plain blank (parsing then
// takes any of the three), anything else falls back to the Windows defaults. A locale without
// grouping (the C locale) is given the separator that does not clash with its decimal one, as
// Windows always has one.
platform::NumberFormat environmentNumberFormat()
{
    platform::NumberFormat format;
    locale_t locale = newlocale(LC_NUMERIC_MASK, "", locale_t(nullptr));
    if (!locale) return format;
    const std::string radix = nl_langinfo_l(RADIXCHAR, locale);
    const std::string grouping = nl_langinfo_l(THOUSEP, locale);
    freelocale(locale);

    if (radix.size() == 1) format.decimalSeparator = radix[0];
    const char otherThanDecimal = format.decimalSeparator == ',' ? '.' : ',';
    if (grouping.size() == 1) {
        format.thousandsSeparator = grouping[0];
    } else if (grouping == "\xC2\xA0" || grouping == "\xE2\x80\xAF") {
        format.thousandsSeparator = ' ';
    } else {
        format.thousandsSeparator = otherThanDecimal;
    }
    if (format.thousandsSeparator == format.decimalSeparator) format.thousandsSeparator = otherThanDecimal;
    return format;
}

// --- numbers ---------------------------------------------------------------------------------------

// digits (ASCII, no leading zeros; empty for zero) times 10^exponent.
struct Exact {
    bool negative = false;
    std::string digits;
    std::int64_t exponent = 0;
};

enum class RealKind { Double, Float, Date };

struct Number {
    enum class Kind { Integer, Real, Exact } kind = Kind::Integer;
    bool negative = false; // Integer
    std::uint64_t magnitude = 0;
    bool fromBool = false; // Integer read from VT_BOOL: unsigned targets take its bits
    double real = 0;       // Real
    RealKind realKind = RealKind::Double;
    Exact exact; // Exact
};

Number integerNumber(std::int64_t v)
{
    Number n;
    n.negative = v < 0;
    n.magnitude = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    return n;
}

Number unsignedNumber(std::uint64_t v)
{
    Number n;
    n.magnitude = v;
    return n;
}

Number realNumber(double v, RealKind kind)
{
    Number n;
    n.kind = Number::Kind::Real;
    n.real = v;
    n.realKind = kind;
    return n;
}

void stripLeadingZeros(std::string& digits)
{
    const std::size_t first = digits.find_first_not_of('0');
    digits.erase(0, first == std::string::npos ? digits.size() : first);
}

std::string u128ToDigits(U128 v)
{
    std::string text;
    while (v != 0) {
        text.insert(text.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
        v /= 10;
    }
    return text;
}

Number exactNumber(bool negative, U128 mantissa, int scale)
{
    Number n;
    n.kind = Number::Kind::Exact;
    n.exact.negative = negative;
    n.exact.digits = u128ToDigits(mantissa);
    n.exact.exponent = -scale;
    return n;
}

// The shortest digits that read back as the same double (or float).
bool realToExact(double v, RealKind kind, Exact& out)
{
    if (!std::isfinite(v)) return false;
    char text[64];
    const auto result = kind == RealKind::Float
                            ? std::to_chars(text, text + sizeof text, static_cast<float>(v), std::chars_format::scientific)
                            : std::to_chars(text, text + sizeof text, v, std::chars_format::scientific);
    const std::string_view s(text, static_cast<std::size_t>(result.ptr - text));
    out = Exact{};
    std::size_t i = 0;
    if (i < s.size() && s[i] == '-') {
        out.negative = true;
        ++i;
    }
    for (; i < s.size() && s[i] != 'e'; ++i) {
        if (s[i] != '.') out.digits.push_back(s[i]);
    }
    int exponent = 0;
    if (i < s.size()) std::from_chars(s.data() + i + 1 + (s[i + 1] == '+' ? 1 : 0), s.data() + s.size(), exponent);
    out.exponent = exponent - static_cast<std::int64_t>(out.digits.size()) + 1;
    stripLeadingZeros(out.digits);
    if (out.digits.empty()) out.negative = false;
    return true;
}

Exact toExact(const Number& n)
{
    if (n.kind == Number::Kind::Exact) return n.exact;
    Exact e;
    if (n.kind == Number::Kind::Integer) {
        e.negative = n.negative && n.magnitude != 0;
        e.digits = n.magnitude ? std::to_string(n.magnitude) : std::string();
        return e;
    }
    realToExact(n.real, n.realKind, e); // callers rule out non-finite values first
    return e;
}

// The value times 10^scale, rounded half to even to an integer of at most 29 digits.
HRESULT roundExact(const Exact& x, int scale, U128& out)
{
    out = 0;
    if (x.digits.empty()) return S_OK;
    const std::int64_t shift = x.exponent + scale;
    const auto length = static_cast<std::int64_t>(x.digits.size());
    if (shift >= 0) {
        if (length + shift > static_cast<std::int64_t>(kMaxExactDigits)) return DISP_E_OVERFLOW;
        for (char c : x.digits) out = out * 10 + static_cast<unsigned>(c - '0');
        for (std::int64_t i = 0; i < shift; ++i) out *= 10;
        return S_OK;
    }
    const std::int64_t keep = length + shift; // digits before the rounding point
    if (keep > static_cast<std::int64_t>(kMaxExactDigits)) return DISP_E_OVERFLOW;
    if (keep < 0) return S_OK; // below half of the last unit kept
    for (std::int64_t i = 0; i < keep; ++i) out = out * 10 + static_cast<unsigned>(x.digits[std::size_t(i)] - '0');
    const char first = x.digits[std::size_t(keep)];
    bool up = first > '5';
    if (first == '5') {
        const bool moreThanHalf = x.digits.find_first_not_of('0', std::size_t(keep) + 1) != std::string::npos;
        up = moreThanHalf || (out & 1) != 0;
    }
    if (up) ++out;
    return S_OK;
}

HRESULT exactToDouble(const Exact& x, double& out)
{
    if (x.digits.empty()) {
        out = 0.0;
        return S_OK;
    }
    const std::string text = x.digits + "e" + std::to_string(x.exponent);
    double value = 0.0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        // Too large is an overflow; too small is zero, as the platform reads "1e-400".
        const std::int64_t magnitude = x.exponent + static_cast<std::int64_t>(x.digits.size()) - 1;
        if (magnitude > 0) return DISP_E_OVERFLOW;
        value = 0.0;
    } else if (result.ec != std::errc()) {
        return DISP_E_TYPEMISMATCH;
    }
    out = x.negative ? -value : value;
    return S_OK;
}

HRESULT toDouble(const Number& n, double& out)
{
    switch (n.kind) {
    case Number::Kind::Integer:
        out = n.negative ? -static_cast<double>(n.magnitude) : static_cast<double>(n.magnitude);
        return S_OK;
    case Number::Kind::Real:
        out = n.real;
        return S_OK;
    case Number::Kind::Exact:
        return exactToDouble(n.exact, out);
    }
    return E_UNEXPECTED;
}

// Rounds half to even, the rule of the platform's conversions to integers and currency.
double roundHalfEven(double x)
{
    const double below = std::floor(x);
    const double fraction = x - below;
    if (fraction > 0.5) return below + 1.0;
    if (fraction < 0.5) return below;
    return std::fmod(below, 2.0) == 0.0 ? below : below + 1.0;
}

// Sign and magnitude against the range of T.
template <class T>
HRESULT fitInteger(bool negative, U128 magnitude, T& out)
{
    using Limits = std::numeric_limits<T>;
    if (negative && magnitude != 0) {
        if (!Limits::is_signed) return DISP_E_OVERFLOW;
        const U128 limit = U128(static_cast<std::uint64_t>(Limits::max())) + 1;
        if (magnitude > limit) return DISP_E_OVERFLOW;
        out = static_cast<T>(-static_cast<std::int64_t>(magnitude - 1) - 1);
        return S_OK;
    }
    if (magnitude > U128(static_cast<std::uint64_t>(Limits::max()))) return DISP_E_OVERFLOW;
    out = static_cast<T>(static_cast<std::uint64_t>(magnitude));
    return S_OK;
}

template <class T>
HRESULT toInteger(const Number& n, T& out)
{
    switch (n.kind) {
    case Number::Kind::Integer:
        if (n.fromBool && !std::numeric_limits<T>::is_signed) {
            // The platform hands out the bits of the 16-bit boolean: TRUE becomes 0xFF..FF.
            out = static_cast<T>(n.negative ? 0 - n.magnitude : n.magnitude);
            return S_OK;
        }
        return fitInteger(n.negative, U128(n.magnitude), out);
    case Number::Kind::Real: {
        if (!std::isfinite(n.real)) return DISP_E_OVERFLOW;
        const double rounded = roundHalfEven(n.real);
        // long double holds every 64-bit limit exactly, so the bounds are not rounded.
        const auto low = static_cast<long double>(std::numeric_limits<T>::min());
        const auto highExclusive = static_cast<long double>(std::numeric_limits<T>::max()) + 1.0L;
        if (rounded < low || rounded >= highExclusive) return DISP_E_OVERFLOW;
        out = static_cast<T>(rounded);
        return S_OK;
    }
    case Number::Kind::Exact: {
        U128 magnitude = 0;
        const HRESULT hr = roundExact(n.exact, 0, magnitude);
        if (FAILED(hr)) return hr;
        return fitInteger(n.exact.negative, magnitude, out);
    }
    }
    return E_UNEXPECTED;
}

HRESULT toCurrency(const Number& n, CY& out)
{
    LONGLONG scaled = 0;
    HRESULT hr = S_OK;
    switch (n.kind) {
    case Number::Kind::Integer:
        hr = fitInteger(n.negative, U128(n.magnitude) * 10000, scaled);
        break;
    case Number::Kind::Real: {
        if (!std::isfinite(n.real)) return DISP_E_OVERFLOW;
        const double rounded = roundHalfEven(n.real * 10000.0);
        if (rounded < -0x1p63 || rounded >= 0x1p63) return DISP_E_OVERFLOW;
        scaled = static_cast<LONGLONG>(rounded);
        break;
    }
    case Number::Kind::Exact: {
        U128 magnitude = 0;
        hr = roundExact(n.exact, 4, magnitude);
        if (SUCCEEDED(hr)) hr = fitInteger(n.exact.negative, magnitude, scaled);
        break;
    }
    }
    if (SUCCEEDED(hr)) out.int64 = scaled;
    return hr;
}

HRESULT exactToDecimal(const Exact& x, DECIMAL& out)
{
    // As many decimals as the value has, at most 28, fewer when the digits would pass 96 bits.
    int scale = static_cast<int>(std::min<std::int64_t>(kMaxDecimalScale, std::max<std::int64_t>(0, -x.exponent)));
    for (;; --scale) {
        U128 mantissa = 0;
        const HRESULT hr = roundExact(x, scale, mantissa);
        if (SUCCEEDED(hr) && mantissa < kDecimalLimit) {
            out = DECIMAL{};
            out.scale = static_cast<BYTE>(scale);
            out.sign = (x.negative && mantissa != 0) ? DECIMAL_NEG : 0;
            out.Hi32 = static_cast<ULONG>(mantissa >> 64);
            out.Lo64 = static_cast<ULONGLONG>(mantissa);
            return S_OK;
        }
        if (scale == 0) return DISP_E_OVERFLOW;
    }
}

HRESULT toDecimal(const Number& n, DECIMAL& out)
{
    if (n.kind == Number::Kind::Real && !std::isfinite(n.real)) return DISP_E_OVERFLOW;
    return exactToDecimal(toExact(n), out);
}

bool isNonZero(const Number& n)
{
    switch (n.kind) {
    case Number::Kind::Integer:
        return n.magnitude != 0;
    case Number::Kind::Real:
        return n.real != 0.0; // a NaN counts as true
    case Number::Kind::Exact:
        return !n.exact.digits.empty();
    }
    return false;
}

// --- reading a source ---------------------------------------------------------------------------

HRESULT numberFromVariant(const VARIANT& v, Number& n)
{
    switch (v.vt) {
    case VT_EMPTY:
        n = integerNumber(0);
        return S_OK;
    case VT_I1:
        n = integerNumber(static_cast<signed char>(v.cVal));
        return S_OK;
    case VT_UI1:
        n = unsignedNumber(v.bVal);
        return S_OK;
    case VT_I2:
        n = integerNumber(v.iVal);
        return S_OK;
    case VT_UI2:
        n = unsignedNumber(v.uiVal);
        return S_OK;
    case VT_I4:
        n = integerNumber(v.lVal);
        return S_OK;
    case VT_UI4:
        n = unsignedNumber(v.ulVal);
        return S_OK;
    case VT_INT:
        n = integerNumber(v.intVal);
        return S_OK;
    case VT_UINT:
        n = unsignedNumber(v.uintVal);
        return S_OK;
    case VT_I8:
        n = integerNumber(v.llVal);
        return S_OK;
    case VT_UI8:
        n = unsignedNumber(v.ullVal);
        return S_OK;
    case VT_BOOL:
        n = integerNumber(v.boolVal);
        n.fromBool = true;
        return S_OK;
    case VT_R4:
        n = realNumber(v.fltVal, RealKind::Float);
        return S_OK;
    case VT_R8:
        n = realNumber(v.dblVal, RealKind::Double);
        return S_OK;
    case VT_DATE:
        n = realNumber(v.date, RealKind::Date);
        return S_OK;
    case VT_CY: {
        const LONGLONG c = v.cyVal.int64;
        const std::uint64_t magnitude = c < 0 ? 0 - static_cast<std::uint64_t>(c) : static_cast<std::uint64_t>(c);
        n = exactNumber(c < 0, magnitude, 4);
        return S_OK;
    }
    case VT_DECIMAL: {
        // A scale beyond 28 or stray sign bits mean the value came in damaged.
        if (v.decVal.scale > kMaxDecimalScale || (v.decVal.sign & ~DECIMAL_NEG) != 0) return E_INVALIDARG;
        const U128 mantissa = U128(v.decVal.Hi32) << 64 | v.decVal.Lo64;
        n = exactNumber(v.decVal.sign == DECIMAL_NEG && mantissa != 0, mantissa, v.decVal.scale);
        return S_OK;
    }
    default:
        return DISP_E_TYPEMISMATCH;
    }
}

bool isDigit(char16_t c) { return c >= '0' && c <= '9'; }

bool isBlank(char16_t c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' || c == 0x00A0 || c == 0x202F;
}

// The text of a BSTR up to its first zero, as the platform's parsers read it.
std::u16string_view bstrText(BSTR text)
{
    if (!text) return {};
    std::u16string_view all(text, SysStringLen(text));
    return all.substr(0, all.find(u'\0'));
}

// Blanks, a sign or parentheses, digits grouped by the thousands separator, the decimal
// separator and decimals, an exponent (E or D), blanks. Nothing else.
bool parseNumberText(std::u16string_view text, const platform::NumberFormat& format, Exact& out)
{
    const char16_t decimal = static_cast<unsigned char>(format.decimalSeparator);
    const char16_t grouping = static_cast<unsigned char>(format.thousandsSeparator);
    auto isGrouping = [&](char16_t c) {
        if (grouping == 0 || c == decimal) return false;
        if (grouping == ' ') return c == ' ' || c == 0x00A0 || c == 0x202F;
        return c == grouping;
    };
    const std::size_t n = text.size();
    std::size_t i = 0;
    auto skipBlanks = [&] {
        while (i < n && isBlank(text[i])) ++i;
    };

    out = Exact{};
    skipBlanks();
    bool parenthesised = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        out.negative = text[i] == '-';
        ++i;
    } else if (i < n && text[i] == '(') {
        out.negative = parenthesised = true;
        ++i;
    }
    bool sawDigit = false;
    while (i < n) {
        if (isDigit(text[i])) {
            out.digits.push_back(static_cast<char>(text[i]));
            sawDigit = true;
            ++i;
        } else if (sawDigit && isGrouping(text[i]) && i + 1 < n && isDigit(text[i + 1])) {
            ++i;
        } else {
            break;
        }
    }
    if (i < n && text[i] == decimal) {
        ++i;
        while (i < n && isDigit(text[i])) {
            out.digits.push_back(static_cast<char>(text[i]));
            --out.exponent;
            sawDigit = true;
            ++i;
        }
    }
    if (!sawDigit) return false;
    if (i < n && (text[i] == 'e' || text[i] == 'E' || text[i] == 'd' || text[i] == 'D')) {
        ++i;
        bool negativeExponent = false;
        if (i < n && (text[i] == '+' || text[i] == '-')) {
            negativeExponent = text[i] == '-';
            ++i;
        }
        if (i >= n || !isDigit(text[i])) return false;
        std::int64_t exponent = 0;
        for (; i < n && isDigit(text[i]); ++i) {
            // Beyond a billion the result is zero or an overflow either way.
            if (exponent < 1000000000) exponent = exponent * 10 + (text[i] - '0');
        }
        out.exponent += negativeExponent ? -exponent : exponent;
    }
    if (parenthesised) {
        skipBlanks();
        if (i >= n || text[i] != ')') return false;
        ++i;
    }
    skipBlanks();
    if (i != n) return false;
    stripLeadingZeros(out.digits);
    if (out.digits.empty()) {
        out.negative = false;
        out.exponent = 0;
    }
    return true;
}

bool equalsIgnoringCase(std::u16string_view text, std::string_view word)
{
    if (text.size() != word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char16_t>(c - 'A' + 'a');
        if (c != static_cast<unsigned char>(word[i])) return false;
    }
    return true;
}

std::u16string_view trimBlanks(std::u16string_view text)
{
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

// Reads a date text in the ISO order "YYYY-MM-DD", optionally followed by " HH:MM" or
// " HH:MM:SS" (or 'T' instead of the blank). Locale-dependent date texts are not read.
bool parseDateText(std::u16string_view text, DATE& out)
{
    text = trimBlanks(text);
    std::size_t i = 0;
    auto number = [&](std::size_t minDigits, std::size_t maxDigits, int& value) {
        const std::size_t start = i;
        value = 0;
        while (i < text.size() && isDigit(text[i]) && i - start < maxDigits) value = value * 10 + (text[i++] - '0');
        return i - start >= minDigits;
    };
    auto expect = [&](char16_t c) {
        if (i >= text.size() || text[i] != c) return false;
        ++i;
        return true;
    };
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!number(4, 4, year) || !expect('-') || !number(1, 2, month) || !expect('-') || !number(1, 2, day)) return false;
    if (i < text.size()) {
        if (text[i] != ' ' && text[i] != 'T') return false;
        ++i;
        if (!number(1, 2, hour) || !expect(':') || !number(2, 2, minute)) return false;
        if (i < text.size() && (!expect(':') || !number(2, 2, second))) return false;
    }
    if (i != text.size()) return false;
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
    st.wHour = static_cast<WORD>(hour);
    st.wMinute = static_cast<WORD>(minute);
    st.wSecond = static_cast<WORD>(second);
    return year >= 100 && SystemTimeToVariantTime(&st, &out);
}

// --- writing a text ------------------------------------------------------------------------------

std::string exactToText(const Exact& x, char decimal)
{
    if (x.digits.empty()) return "0";
    std::string text = x.negative ? "-" : "";
    const auto length = static_cast<std::int64_t>(x.digits.size());
    if (x.exponent >= 0) {
        text += x.digits;
        text.append(static_cast<std::size_t>(x.exponent), '0');
        return text;
    }
    const std::int64_t integerDigits = length + x.exponent;
    std::string fraction;
    if (integerDigits > 0) {
        text += x.digits.substr(0, std::size_t(integerDigits));
        fraction = x.digits.substr(std::size_t(integerDigits));
    } else {
        text += "0";
        fraction = std::string(std::size_t(-integerDigits), '0') + x.digits;
    }
    fraction.erase(fraction.find_last_not_of('0') + 1);
    if (!fraction.empty()) text += decimal + fraction;
    return text;
}

// The shortest digits that read back as the same value, laid out like the platform's "general"
// number texts: plain notation from 1E-4 up to below 1E15, otherwise one digit, the decimals
// and an exponent with its sign and at least two digits ("1E+20", "1.5E-07").
std::string realToText(double v, RealKind kind, char decimal)
{
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-Infinity" : "Infinity";
    Exact x;
    realToExact(v, kind, x);
    if (x.digits.empty()) return "0";
    const std::int64_t magnitude = x.exponent + static_cast<std::int64_t>(x.digits.size()) - 1;
    if (magnitude >= -4 && magnitude < 15) return exactToText(x, decimal);
    std::string text = x.negative ? "-" : "";
    text += x.digits[0];
    if (x.digits.size() > 1) text += decimal + x.digits.substr(1);
    char exponent[32];
    std::snprintf(exponent, sizeof exponent, "E%c%02lld", magnitude < 0 ? '-' : '+',
                  static_cast<long long>(magnitude < 0 ? -magnitude : magnitude));
    return text + exponent;
}

HRESULT toText(const VARIANT& from, const Number& n, USHORT flags, BSTR& out)
{
    const platform::NumberFormat format = platform::userNumberFormat();
    std::string text;
    if (from.vt == VT_EMPTY) {
        text.clear();
    } else if (from.vt == VT_BOOL && (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL))) {
        text = from.boolVal ? "True" : "False";
    } else if (n.kind == Number::Kind::Integer) {
        // VT_BOOL without the flags is written as its number, -1 or 0, as the platform does.
        text = n.negative && n.magnitude ? "-" + std::to_string(n.magnitude) : std::to_string(n.magnitude);
    } else if (n.kind == Number::Kind::Real) {
        // A DATE is written as its number of days rather than as a locale date text; the
        // conversion back from text reads that form (and the ISO date form).
        text = realToText(n.real, n.realKind, format.decimalSeparator);
    } else {
        text = exactToText(n.exact, format.decimalSeparator);
    }
    std::u16string wide(text.size(), u'\0');
    for (std::size_t i = 0; i < text.size(); ++i) wide[i] = static_cast<unsigned char>(text[i]);
    out = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    return out ? S_OK : E_OUTOFMEMORY;
}

// --- the conversion ------------------------------------------------------------------------------

// Stores a Number into `result` as the type vt.
HRESULT storeNumber(const Number& n, VARTYPE vt, VARIANT& result)
{
    HRESULT hr = S_OK;
    switch (vt) {
    case VT_I1: {
        std::int8_t v = 0;
        hr = toInteger(n, v);
        result.cVal = static_cast<CHAR>(v);
        break;
    }
    case VT_UI1:
        hr = toInteger(n, result.bVal);
        break;
    case VT_I2:
        hr = toInteger(n, result.iVal);
        break;
    case VT_UI2:
        hr = toInteger(n, result.uiVal);
        break;
    case VT_I4:
        hr = toInteger(n, result.lVal);
        break;
    case VT_UI4:
        hr = toInteger(n, result.ulVal);
        break;
    case VT_INT:
        hr = toInteger(n, result.intVal);
        break;
    case VT_UINT:
        hr = toInteger(n, result.uintVal);
        break;
    case VT_I8:
        hr = toInteger(n, result.llVal);
        break;
    case VT_UI8:
        hr = toInteger(n, result.ullVal);
        break;
    case VT_R8:
        hr = toDouble(n, result.dblVal);
        break;
    case VT_R4: {
        double v = 0;
        hr = toDouble(n, v);
        if (SUCCEEDED(hr) && (v < -FLT_MAX || v > FLT_MAX)) hr = DISP_E_OVERFLOW;
        result.fltVal = static_cast<float>(v);
        break;
    }
    case VT_DATE: {
        double v = 0;
        hr = toDouble(n, v);
        if (SUCCEEDED(hr) && !(v > kMinDate - 1.0 && v < kMaxDate + 1.0)) hr = DISP_E_OVERFLOW;
        result.date = v;
        break;
    }
    case VT_CY:
        hr = toCurrency(n, result.cyVal);
        break;
    case VT_DECIMAL: {
        DECIMAL d{};
        hr = toDecimal(n, d);
        result.decVal = d;
        break;
    }
    case VT_BOOL:
        result.boolVal = isNonZero(n) ? VARIANT_TRUE : VARIANT_FALSE;
        break;
    default:
        return DISP_E_TYPEMISMATCH;
    }
    if (SUCCEEDED(hr)) result.vt = vt; // after decVal, which overlays the tag
    return hr;
}

bool isNumericTarget(VARTYPE vt)
{
    switch (vt) {
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_I8:
    case VT_UI8:
    case VT_R4:
    case VT_R8:
    case VT_DATE:
    case VT_CY:
    case VT_DECIMAL:
    case VT_BOOL:
        return true;
    default:
        return false;
    }
}

HRESULT fromText(BSTR source, VARTYPE vt, VARIANT& result)
{
    const std::u16string_view text = bstrText(source);
    if (vt == VT_BOOL) {
        const std::u16string_view word = trimBlanks(text);
        if (equalsIgnoringCase(word, "true") || equalsIgnoringCase(word, "#true#")) {
            result.boolVal = VARIANT_TRUE;
            result.vt = VT_BOOL;
            return S_OK;
        }
        if (equalsIgnoringCase(word, "false") || equalsIgnoringCase(word, "#false#")) {
            result.boolVal = VARIANT_FALSE;
            result.vt = VT_BOOL;
            return S_OK;
        }
    }
    Number n;
    n.kind = Number::Kind::Exact;
    if (!parseNumberText(text, platform::userNumberFormat(), n.exact)) {
        if (vt == VT_DATE && parseDateText(text, result.date)) {
            result.vt = VT_DATE;
            return S_OK;
        }
        return DISP_E_TYPEMISMATCH;
    }
    return storeNumber(n, vt, result);
}

// Converts a value that is not by reference (a view) into `result`, which starts VT_EMPTY.
HRESULT coerce(const VARIANT& from, USHORT flags, VARTYPE vt, VARIANT& result)
{
    if (from.vt == vt) return VariantCopy(&result, platform::asSource(&from));
    const bool simpleSource = from.vt <= VT_UINT && from.vt != 15 && from.vt != VT_ERROR;
    if (vt == VT_EMPTY || vt == VT_NULL) {
        // Any plain value may be emptied; a null is not empty.
        if (!simpleSource || (vt == VT_EMPTY && from.vt == VT_NULL)) return DISP_E_TYPEMISMATCH;
        result.vt = vt;
        return S_OK;
    }
    if (from.vt == VT_BSTR) {
        if (!isNumericTarget(vt)) return DISP_E_TYPEMISMATCH;
        return fromText(from.bstrVal, vt, result);
    }
    Number n;
    const HRESULT hr = numberFromVariant(from, n); // VT_NULL, arrays, interfaces: mismatch
    if (FAILED(hr)) return hr;
    if (vt == VT_BSTR) {
        const HRESULT textHr = toText(from, n, flags, result.bstrVal);
        if (SUCCEEDED(textHr)) result.vt = VT_BSTR;
        return textHr;
    }
    return storeNumber(n, vt, result);
}

} // namespace

HRESULT VariantChangeType(VARIANTARG* pvargDest, VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt)
{
    if (!pvargDest || !pvarSrc) return E_INVALIDARG;
    if (!platform::detail::isValidVariantType(pvarSrc->vt) || !platform::detail::isValidVariantType(vt)) {
        return DISP_E_BADVARTYPE;
    }
    VARIANT result;
    VariantInit(&result);
    HRESULT hr = S_OK;
    if (pvarSrc->vt == vt) {
        hr = VariantCopy(&result, pvarSrc);
    } else {
        VARIANT view; // borrows what a by-reference source points at; never cleared
        hr = platform::detail::readThrough(*pvarSrc, view);
        if (SUCCEEDED(hr)) hr = coerce(view, wFlags, vt, result);
    }
    if (FAILED(hr)) return hr; // result owns nothing after a failed step

    // Only now is the destination touched: it may be the source itself, whose value has been
    // fully read into `result`.
    hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    std::memcpy(pvargDest, &result, sizeof(VARIANT));
    return S_OK;
}

namespace platform {

NumberFormat userNumberFormat()
{
    std::uint32_t packed = g_numberFormat.load(std::memory_order_acquire);
    if (!(packed & kFormatSet)) {
        std::uint32_t expected = 0;
        const std::uint32_t fromEnvironment = packFormat(environmentNumberFormat());
        // A concurrent setUserNumberFormat wins over the environment.
        packed = g_numberFormat.compare_exchange_strong(expected, fromEnvironment, std::memory_order_acq_rel)
                     ? fromEnvironment
                     : expected;
    }
    return unpackFormat(packed);
}

void setUserNumberFormat(const NumberFormat& format)
{
    g_numberFormat.store(packFormat(format), std::memory_order_release);
}

} // namespace platform
