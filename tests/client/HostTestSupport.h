// Helpers of the host tests: a server's keys as .reg text, and a walk of a host waited for on
// the test thread.
#pragma once

#include "ClientTestSupport.h"
#include "client/Host.h"

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace clienttest {

inline const std::array<std::uint8_t, 4> kLoopback{127, 0, 0, 1};
inline const char* const kGuidA = "{11111111-2222-3333-4444-555555555555}";

// The keys of a ProgID: the OPC marker unless told otherwise, and a CLSID key whose default value
// is clsidValue as .reg data (none when empty).
inline std::string server(const std::string& progId, const std::string& clsidValue, bool marker = true)
{
    std::string text = "[HKEY_CLASSES_ROOT\\" + progId + "]\n@=\"" + progId + "\"\n";
    if (marker) text += "[HKEY_CLASSES_ROOT\\" + progId + "\\OPC]\n";
    if (!clsidValue.empty()) text += "[HKEY_CLASSES_ROOT\\" + progId + "\\CLSID]\n@=" + clsidValue + "\n";
    return text;
}

// Walks a host on the test thread's dispatcher and waits for its one WM_HOST_CONNECTED.
struct Walk {
    explicit Walk(Window& window, const std::string& name)
    {
        window.forget();  // a new host may take the address of one destroyed before
        host = std::make_unique<Host>(name, kLoopback);
        EXPECT_TRUE(host->busy()) << "creating a host starts its walk";
        EXPECT_TRUE(window.pumpUntil([&] { return window.count(WM_HOST_CONNECTED, host.get()) == 1; }));
        EXPECT_FALSE(host->busy());
    }
    std::vector<std::string> names() const
    {
        std::vector<std::string> out;
        for (const auto& s : host->servers()) out.push_back(s.name);
        return out;
    }
    std::unique_ptr<Host> host;
};

} // namespace clienttest
