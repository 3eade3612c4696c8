// How a simulated item's value moves: a wave over the server's clock, advanced in steps, turned
// into the item's type; and how its quality moves. A generator is a pure function of the step
// number, so it needs no state and any thread may read it.
#pragma once

#include "servers/kit/AddressSpace.h"

#include <cstdint>
#include <string>
#include <vector>

namespace servers::kit {

enum class Wave {
    Constant,   // never changes: the value is Generator::constant
    Random,     // a new value in [low, high] every step
    Ramp,       // low to high over one cycle, then again from low
    Sine,       // around (low + high) / 2 with amplitude (high - low) / 2, one period per cycle
    Square,     // high for the first part of a cycle (duty), low for the rest
    Triangle,   // low to high and back over one cycle
    Counter,    // low, low + 1, ... one per step, back to low after high
    Sequence,   // the texts (or low + step number) in turn, one per step
    Clock,      // the time of the step: DATE (local time) or its text
};

struct Generator {
    Wave wave = Wave::Constant;
    std::uint32_t stepMs = 1000;     // the value moves once per step
    std::uint32_t cycleMs = 60000;   // one full period of the periodic waves
    double low = 0;
    double high = 100;
    double phase = 0;                // a fraction of a cycle, to set items of one kind apart
    double duty = 0.5;               // Square: the fraction of a cycle at high
    std::vector<platform::WideString> texts;
    std::uint32_t arrayLength = 0;   // elements of an array item; element i is shifted by i/n cycle
    platform::Variant constant;      // Wave::Constant: the value (copied out for every read)
    WORD quality = OPC_QUALITY_GOOD;
    // When not empty, the quality moves through these, one per step, instead of staying put.
    std::vector<WORD> qualityCycle;
    // Whether a bad quality comes with no value (VT_EMPTY) rather than the last computed one.
    bool emptyWhenBad = false;

    bool changes() const { return wave != Wave::Constant || !qualityCycle.empty(); }
    std::uint64_t stepAt(std::uint64_t ms) const { return changes() ? ms / (stepMs ? stepMs : 1) : 0; }
};

// The value of an item of the given type at a step. seed sets items with the same generator
// apart (random waves). value must be empty.
void generateValue(const Generator& g, VARTYPE type, std::uint64_t seed, std::uint64_t step, const ServerClock& clock,
                   VARIANT& value);
WORD generateQuality(const Generator& g, std::uint64_t step);

// A well-mixed 64-bit hash, for values made from indices.
std::uint64_t mix64(std::uint64_t x);

// Writes x into value as the type (integers rounded and held to the type's range, VT_BOOL true at
// or above mid, VT_CY scaled, VT_DATE taken as days). False for a type that is no number.
bool numberToVariant(double x, double mid, VARTYPE type, VARIANT& value);

// Local DATE of a UTC FILETIME.
DATE fileTimeToLocalDate(const FILETIME& utc);

} // namespace servers::kit
