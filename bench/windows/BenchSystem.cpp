#include "BenchSystem.h"

#include "platform/WinTypes.h"

#include <malloc.h>
#include <psapi.h>

namespace bench {

namespace {
// The scale server's settings key, renamed aside while a benchmark runs.
constexpr const char* kSettings = "Software\\Tagvista\\Scale";
constexpr const char* kKeptAside = "Software\\Tagvista\\Scale (kept while a benchmark runs)";
} // namespace

double heapInUse()
{
    // The C runtime's heap is the process heap: its busy blocks are what is in use.
    double used = 0;
    _HEAPINFO entry{};
    while (_heapwalk(&entry) == _HEAPOK) {
        if (entry._useflag == _USEDENTRY) used += static_cast<double>(entry._size);
    }
    return used;
}

double residentBytes()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
    return static_cast<double>(counters.WorkingSetSize);
}

void trimHeap()
{
    _heapmin();
}

double threadCpuSeconds()
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    const auto ticks = [](const FILETIME& t) { return (ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return double(ticks(kernel) + ticks(user)) / 1e7;
}

ScratchSettings::ScratchSettings()
{
    RegDeleteTreeA(HKEY_CURRENT_USER, kKeptAside);
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettings, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegCloseKey(key);
        HKEY aside = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, kKeptAside, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &aside, nullptr) ==
            ERROR_SUCCESS) {
            RegCopyTreeA(HKEY_CURRENT_USER, kSettings, aside);
            RegCloseKey(aside);
        }
        RegDeleteTreeA(HKEY_CURRENT_USER, kSettings);
    }
    _place = kSettings;
}

ScratchSettings::~ScratchSettings()
{
    RegDeleteTreeA(HKEY_CURRENT_USER, kSettings);
    HKEY aside = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kKeptAside, 0, KEY_READ, &aside) == ERROR_SUCCESS) {
        HKEY settings = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettings, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &settings,
                            nullptr) == ERROR_SUCCESS) {
            RegCopyTreeA(aside, nullptr, settings);
            RegCloseKey(settings);
        }
        RegCloseKey(aside);
        RegDeleteTreeA(HKEY_CURRENT_USER, kKeptAside);
    }
}

} // namespace bench
