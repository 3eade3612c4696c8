#include "servers/kit/ValueGenerator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numbers>

namespace servers::kit {

std::uint64_t mix64(std::uint64_t x)
{
    // splitmix64's finaliser.
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

namespace {

// Days from 1601-01-01 (the FILETIME epoch) to 1899-12-30 (the DATE epoch).
constexpr double kDateEpochDays = 109205.0;
constexpr double kTicksPerDay = 864000000000.0;

template <class T>
T clampTo(double x)
{
    const double r = std::nearbyint(x);
    if (!(r >= double(std::numeric_limits<T>::lowest()))) return std::numeric_limits<T>::lowest();
    // The top of a 64-bit range is not a double; anything at or past 2^63 (2^64) saturates.
    if (r >= std::ldexp(1.0, std::numeric_limits<T>::digits)) return std::numeric_limits<T>::max();
    return static_cast<T>(r);
}

double fraction(double x) { return x - std::floor(x); }

// The wave's number at a step; element shifts array elements against each other.
double waveNumber(const Generator& g, std::uint64_t seed, std::uint64_t step, std::uint32_t element)
{
    const double span = g.high - g.low;
    const double shift = g.arrayLength ? double(element) / g.arrayLength : 0.0;
    const double cycles = g.cycleMs ? double(step) * g.stepMs / g.cycleMs : 0.0;
    const double f = fraction(cycles + g.phase + shift);
    switch (g.wave) {
    case Wave::Random: {
        const std::uint64_t h = mix64(mix64(seed * 0x100000001B3ull + element) ^ step);
        return g.low + span * (double(h >> 11) / double(1ull << 53));
    }
    case Wave::Ramp:
        return g.low + span * f;
    case Wave::Sine:
        return g.low + span / 2 + span / 2 * std::sin(2 * std::numbers::pi * f);
    case Wave::Square:
        return f < g.duty ? g.high : g.low;
    case Wave::Triangle:
        return f < 0.5 ? g.low + span * 2 * f : g.high - span * (2 * f - 1);
    case Wave::Counter:
    case Wave::Sequence: {
        const double range = std::floor(span) + 1;
        const double n = double(step + element);
        return range >= 1 ? g.low + std::fmod(n, range) : g.low;
    }
    case Wave::Clock:
    case Wave::Constant:
        break;
    }
    return g.low;
}

platform::WideString numberText(double x)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.2f", x);
    return platform::WideString(buffer, buffer + std::char_traits<char>::length(buffer));
}

const platform::WideString& pickText(const Generator& g, std::uint64_t seed, std::uint64_t step, std::uint32_t element,
                               double x)
{
    std::uint64_t index;
    if (g.wave == Wave::Random) {
        index = mix64(mix64(seed + element) ^ step);
    } else if (g.wave == Wave::Sequence || g.wave == Wave::Counter) {
        index = step + element;
    } else {
        index = static_cast<std::uint64_t>(std::max(0.0, std::floor(x - g.low)));
    }
    return g.texts[index % g.texts.size()];
}

BSTR makeText(const Generator& g, std::uint64_t seed, std::uint64_t step, std::uint32_t element, double x,
              const ServerClock& clock)
{
    if (g.wave == Wave::Clock) {
        SYSTEMTIME st{};
        FILETIME utc = clock.fileTimeAt(step * g.stepMs);
        FILETIME local;
        if (!FileTimeToLocalFileTime(&utc, &local)) local = utc;
        FileTimeToSystemTime(&local, &st);
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour,
                      st.wMinute, st.wSecond);
        const platform::WideString text(buffer, buffer + std::char_traits<char>::length(buffer));
        return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }
    if (!g.texts.empty()) {
        const platform::WideString& text = pickText(g, seed, step, element, x);
        return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }
    const platform::WideString text = numberText(x);
    return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

double clockDate(const Generator& g, std::uint64_t step, const ServerClock& clock)
{
    return fileTimeToLocalDate(clock.fileTimeAt(step * g.stepMs));
}

} // namespace

DATE fileTimeToLocalDate(const FILETIME& utc)
{
    FILETIME local;
    if (!FileTimeToLocalFileTime(&utc, &local)) local = utc;
    return double(platform::fileTimeToU64(local)) / kTicksPerDay - kDateEpochDays;
}

bool numberToVariant(double x, double mid, VARTYPE type, VARIANT& value)
{
    value.vt = type;
    switch (type) {
    case VT_I1: value.cVal = clampTo<std::int8_t>(x); return true;
    case VT_UI1: value.bVal = clampTo<std::uint8_t>(x); return true;
    case VT_I2: value.iVal = clampTo<std::int16_t>(x); return true;
    case VT_UI2: value.uiVal = clampTo<std::uint16_t>(x); return true;
    case VT_I4: value.lVal = clampTo<std::int32_t>(x); return true;
    case VT_INT: value.intVal = clampTo<std::int32_t>(x); return true;
    case VT_UI4: value.ulVal = clampTo<std::uint32_t>(x); return true;
    case VT_UINT: value.uintVal = clampTo<std::uint32_t>(x); return true;
    case VT_I8: value.llVal = clampTo<std::int64_t>(x); return true;
    case VT_UI8: value.ullVal = clampTo<std::uint64_t>(x); return true;
    case VT_R4: value.fltVal = static_cast<float>(x); return true;
    case VT_R8: value.dblVal = x; return true;
    case VT_DATE: value.date = x; return true;
    case VT_CY: value.cyVal.int64 = clampTo<std::int64_t>(x * 10000.0); return true;
    case VT_BOOL: value.boolVal = x >= mid ? VARIANT_TRUE : VARIANT_FALSE; return true;
    default:
        value.vt = VT_EMPTY;
        return false;
    }
}

WORD generateQuality(const Generator& g, std::uint64_t step)
{
    return g.qualityCycle.empty() ? g.quality : g.qualityCycle[step % g.qualityCycle.size()];
}

void generateValue(const Generator& g, VARTYPE type, std::uint64_t seed, std::uint64_t step, const ServerClock& clock,
                   VARIANT& value)
{
    VariantInit(&value);
    if (g.wave == Wave::Constant) {
        VariantCopy(&value, platform::asSource(g.constant.get()));
        return;
    }
    if (g.emptyWhenBad && (generateQuality(g, step) & OPC_QUALITY_MASK) == OPC_QUALITY_BAD) return;
    const double mid = (g.low + g.high) / 2;
    if (type & VT_ARRAY) {
        const VARTYPE element = type & VT_TYPEMASK;
        SAFEARRAY* psa = SafeArrayCreateVector(element, 0, g.arrayLength);
        if (!psa) return;
        void* data = nullptr;
        if (FAILED(SafeArrayAccessData(psa, &data))) {
            SafeArrayDestroy(psa);
            return;
        }
        for (std::uint32_t i = 0; i < g.arrayLength; ++i) {
            const double x = waveNumber(g, seed, step, i);
            if (element == VT_BSTR) {
                static_cast<BSTR*>(data)[i] = makeText(g, seed, step, i, x, clock);
                continue;
            }
            VARIANT v;
            VariantInit(&v);
            numberToVariant(x, mid, element, v);
            const std::size_t size = SafeArrayGetElemsize(psa);
            std::memcpy(static_cast<BYTE*>(data) + std::size_t(i) * size, &v.llVal, size);
        }
        SafeArrayUnaccessData(psa);
        value.vt = type;
        value.parray = psa;
        return;
    }
    if (type == VT_BSTR) {
        value.vt = VT_BSTR;
        value.bstrVal = makeText(g, seed, step, 0, waveNumber(g, seed, step, 0), clock);
        return;
    }
    if (g.wave == Wave::Clock) {
        const double date = clockDate(g, step, clock);
        if (type == VT_DATE) {
            value.vt = VT_DATE;
            value.date = date;
        } else {
            // Other types get the seconds of the minute, which is what a clock item of a number
            // type shows on a panel.
            numberToVariant(std::fmod(std::floor(fraction(date) * 86400.0 + 0.5), 60.0), 30, type, value);
        }
        return;
    }
    numberToVariant(waveNumber(g, seed, step, 0), mid, type, value);
}

} // namespace servers::kit
