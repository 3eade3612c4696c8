// The agent's standard streams as the byte pipes ssh gives it. The system's part lives in unix/
// and windows/.
#pragma once

#include <cstddef>
#include <cstdint>

namespace agent {

// Makes both streams carry bytes unchanged, and a program that goes away end the agent through
// its input's end rather than through a signal. Once, before anything is read or written.
void prepareStandardStreams();
// Waits for input: the byte count, 0 at its end, negative on failure. One reader.
long readInput(std::uint8_t* bytes, std::size_t count);
// Writes all of it to the output; false once the output has gone. One writer at a time.
bool writeOutput(const std::uint8_t* bytes, std::size_t count);

} // namespace agent
