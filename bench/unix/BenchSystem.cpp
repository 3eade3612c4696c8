#include "BenchSystem.h"

#include "platform/RegistryFiles.h"

#include <ctime>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

namespace bench {

double heapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd);
}

double residentBytes()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

void trimHeap()
{
    malloc_trim(0);
}

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

ScratchSettings::ScratchSettings()
{
    char pattern[] = "/tmp/tagvista-bench-XXXXXX";
    _place = mkdtemp(pattern);
    setenv("XDG_CONFIG_HOME", _place.c_str(), 1);
    platform::registry::reload();
}

ScratchSettings::~ScratchSettings()
{
    std::error_code ec;
    std::filesystem::remove_all(_place, ec);
}

} // namespace bench
