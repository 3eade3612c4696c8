// What tagvista-agent answers: each request of the program, read from one verified frame, gets
// one answer frame with the request's id. It serves this computer's registry (the classes root)
// through the platform layer, as the program would read it here.
#pragma once

#include "platform/remote/Frames.h"

#include <cstdint>
#include <string>
#include <vector>

namespace agent {

class AgentService {
public:
    explicit AgentService(std::string programText) : _programText(std::move(programText)) {}

    // The answer frame (length and FlatBuffer) to a request.
    std::vector<std::uint8_t> answer(const tagvista::agent::Envelope& request);

private:
    std::string _programText;
};

// Serves requests from input to output until input ends (0) or brings what is not the protocol
// (2, the reason written to errors). Files are the standard streams' descriptors.
int serveStream(AgentService& service, int input, int output, std::string& reason);

} // namespace agent
