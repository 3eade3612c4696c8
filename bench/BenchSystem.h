// What the benchmark programs measure of the process, and the scratch settings they run with,
// the same calls on both systems. Main thread.
#pragma once

#include <string>

namespace bench {

// Bytes the heap has handed out and not got back.
double heapInUse();
// Resident set (working set) of the process in bytes.
double residentBytes();
// Gives the heap's free memory back to the system where it can, so that the next figure starts
// from the memory in use.
void trimHeap();
// CPU time of the calling thread in seconds.
double threadCpuSeconds();

// A user registry of its own for the scale server's settings while the object lives: a scratch
// settings file on Linux, the settings key of the current user (kept and put back) on Windows.
class ScratchSettings {
public:
    ScratchSettings();
    ~ScratchSettings();
    ScratchSettings(const ScratchSettings&) = delete;
    ScratchSettings& operator=(const ScratchSettings&) = delete;

private:
    std::string _place;
};

} // namespace bench
