#include "AgentService.h"

#include "platform/Platform.h"

#include <cerrno>
#include <unistd.h>

namespace agent {

using namespace tagvista::agent;

namespace {

// The keys of the classes root that carry the "OPC" marker, with the default value of their
// "CLSID" subkey as RegQueryValueExA reads it: what a walk of the root looks at, in one answer.
flatbuffers::Offset<ServerList> listServers(flatbuffers::FlatBufferBuilder& builder)
{
    std::vector<flatbuffers::Offset<ServerKey>> keys;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameSize = sizeof name;
        const LONG enumerated = RegEnumKeyExA(HKEY_CLASSES_ROOT, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
        if (enumerated == ERROR_MORE_DATA) continue;  // no server has such a name
        if (enumerated != ERROR_SUCCESS) break;
        const std::string key(name, nameSize);
        HKEY marker = nullptr;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, (key + "\\OPC").c_str(), 0, KEY_READ, &marker) != ERROR_SUCCESS) continue;
        RegCloseKey(marker);

        bool hasClsid = false;
        DWORD type = 0;
        std::vector<BYTE> data;
        HKEY clsid = nullptr;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, (key + "\\CLSID").c_str(), 0, KEY_READ, &clsid) == ERROR_SUCCESS) {
            hasClsid = true;
            DWORD size = 0;
            if (RegQueryValueExA(clsid, nullptr, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && size <= 4096) {
                data.resize(size);
                if (RegQueryValueExA(clsid, nullptr, nullptr, &type, data.data(), &size) == ERROR_SUCCESS)
                    data.resize(size);
                else
                    type = 0, data.clear();
            } else {
                type = 0;
            }
            RegCloseKey(clsid);
        }
        keys.push_back(CreateServerKey(builder, builder.CreateString(key), hasClsid, type, builder.CreateVector(data)));
    }
    return CreateServerList(builder, builder.CreateVector(keys));
}

} // namespace

std::vector<std::uint8_t> AgentService::answer(const Envelope& request)
{
    flatbuffers::FlatBufferBuilder builder;
    Body type = Body::Failure;
    flatbuffers::Offset<void> body;
    switch (request.body_type()) {
    case Body::Hello:
        type = Body::Hello;
        body = CreateHello(builder, platform::remote::kProtocolVersion, builder.CreateString(_programText)).Union();
        break;
    case Body::ListServers:
        type = Body::ServerList;
        body = listServers(builder).Union();
        break;
    default:
        body = CreateFailure(builder, static_cast<int>(E_INVALIDARG),
                             builder.CreateString(std::string(platform::remote::bodyName(request.body_type())) +
                                                  " is no request"))
                   .Union();
        break;
    }
    builder.Finish(CreateEnvelope(builder, request.id(), type, body));
    return platform::remote::frameOf(builder);
}

int serveStream(AgentService& service, int input, int output, std::string& reason)
{
    platform::remote::FrameReader reader;
    std::vector<std::uint8_t> buffer(64 * 1024);
    for (;;) {
        const ssize_t got = ::read(input, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return 0;
        if (!reader.feed(buffer.data(), static_cast<std::size_t>(got))) {
            reason = reader.error();
            return 2;
        }
        while (std::optional<std::vector<std::uint8_t>> frame = reader.next()) {
            const Envelope* request = platform::remote::messageOf(*frame, reason);
            if (!request) return 2;
            const std::vector<std::uint8_t> answer = service.answer(*request);
            std::size_t written = 0;
            while (written < answer.size()) {
                const ssize_t put = ::write(output, answer.data() + written, answer.size() - written);
                if (put < 0 && errno == EINTR) continue;
                if (put <= 0) return 0;  // the program has gone
                written += static_cast<std::size_t>(put);
            }
        }
    }
}

} // namespace agent
