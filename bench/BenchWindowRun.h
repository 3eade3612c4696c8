// What both windows' bench_window_scale share: the options of the run, the percentile of the
// gaps, and the scale server's settings in the user's registry.
#pragma once

#include "platform/Sdk.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace bench {

struct WindowRunOptions {
    double minutes = 0.5;
    double sampleSeconds = 10;
    DWORD branches = 10;
    DWORD itemsPerBranch = 10000;
    DWORD updateRate = 100;
    DWORD changing = 100;
};

inline WindowRunOptions parseWindowRunOptions(int argc, char** argv)
{
    WindowRunOptions options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const double value = std::atof(argv[i + 1]);
        if (name == "--minutes") options.minutes = value;
        else if (name == "--sample-seconds") options.sampleSeconds = value;
        else if (name == "--branches") options.branches = static_cast<DWORD>(value);
        else if (name == "--items-per-branch") options.itemsPerBranch = static_cast<DWORD>(value);
        else if (name == "--update-rate") options.updateRate = static_cast<DWORD>(value);
        else if (name == "--changing") options.changing = static_cast<DWORD>(value);
        else {
            std::fprintf(stderr, "unknown option %s\n", name.c_str());
            std::exit(2);
        }
    }
    return options;
}

inline double percentile(std::vector<double> values, double share)
{
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// The scale server's size and pace for the run (Branches, ItemsPerBranch, Depth 1, UpdateRate,
// ChangingPercent), in the current user's settings key of the server.
inline void setScaleForRun(const WindowRunOptions& options)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Tagvista\\Scale", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
        std::fprintf(stderr, "cannot write the scale server's settings\n");
        std::exit(1);
    }
    const std::pair<const char*, DWORD> values[] = {{"Branches", options.branches},
                                                    {"ItemsPerBranch", options.itemsPerBranch},
                                                    {"Depth", 1},
                                                    {"UpdateRate", options.updateRate},
                                                    {"ChangingPercent", options.changing}};
    for (const auto& [name, value] : values)
        RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

} // namespace bench
