// tagvista-agent: started on a remote computer through ssh, it serves the program's requests on
// its standard input and output (--stdio) until its input ends. Nothing but frames goes to the
// standard output; what goes wrong goes to the standard error, which ssh carries back.
#include "AgentService.h"
#include "StandardStreams.h"

#include "platform/Platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

int main(int argc, char** argv)
{
    const std::string version = std::string("tagvista-agent ") + TAGVISTA_VERSION_TEXT;
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s (protocol %u)\n", version.c_str(), platform::remote::kProtocolVersion);
        return 0;
    }
    if (argc != 2 || std::strcmp(argv[1], "--stdio") != 0) {
        std::fprintf(stderr,
                     "usage: tagvista-agent --stdio | --version\n"
                     "Serves a Tagvista program that started it through ssh, on the standard input and output.\n");
        return 1;
    }
    agent::prepareStandardStreams();
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    agent::FrameWriter writer;
    std::string reason;
    bool stuck = false;
    auto service = std::make_unique<agent::AgentService>(version, writer);
    const int result = agent::serveStream(*service, writer, reason, stuck);
    if (result != 0) std::fprintf(stderr, "tagvista-agent: the input is not the agent protocol: %s\n", reason.c_str());
    if (stuck) {
        // Releasing the servers now would free what the hung call still uses.
        std::fprintf(stderr, "tagvista-agent: a server call did not return; ending without releasing the servers\n");
        std::fflush(stderr);
        std::_Exit(result);
    }
    service.reset();
    CoUninitialize();
    return result;
}
