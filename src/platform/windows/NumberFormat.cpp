// The user locale's number punctuation, from the system's locale settings.
#include "platform/Variant.h"

#include <atomic>

namespace platform {

namespace {

// 0 until read or set; else the separators packed with a flag, so one atomic word holds both.
std::atomic<std::uint32_t> g_format{0};
constexpr std::uint32_t kSet = 0x10000;

char localeCharacter(LCTYPE type, char fallback)
{
    char text[8] = {};
    // A separator of more than one byte (or none) cannot stand in a byte-wise number text.
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, type, text, sizeof text) == 2) return text[0];
    return fallback;
}

std::uint32_t pack(const NumberFormat& f)
{
    return kSet | std::uint32_t(static_cast<unsigned char>(f.decimalSeparator)) |
           std::uint32_t(static_cast<unsigned char>(f.thousandsSeparator)) << 8;
}

} // namespace

NumberFormat userNumberFormat()
{
    std::uint32_t packed = g_format.load(std::memory_order_acquire);
    if (!(packed & kSet)) {
        NumberFormat fromLocale;
        fromLocale.decimalSeparator = localeCharacter(LOCALE_SDECIMAL, '.');
        fromLocale.thousandsSeparator = localeCharacter(LOCALE_STHOUSAND, ',');
        std::uint32_t expected = 0;
        // A concurrent setUserNumberFormat wins over the locale.
        packed = g_format.compare_exchange_strong(expected, pack(fromLocale), std::memory_order_acq_rel)
                     ? pack(fromLocale)
                     : expected;
    }
    NumberFormat format;
    format.decimalSeparator = static_cast<char>(packed & 0xFF);
    format.thousandsSeparator = static_cast<char>((packed >> 8) & 0xFF);
    return format;
}

void setUserNumberFormat(const NumberFormat& format)
{
    g_format.store(pack(format), std::memory_order_release);
}

} // namespace platform
