// What tagvista-agent answers: each request of the program, read from one verified frame, gets
// one answer frame with the request's id. It serves this computer's registry (the classes root)
// and its servers through the platform layer, as the program would use them here: the objects it
// hands out are kept in a table under numbers the program names them by, and each advised
// group's data-change blocks go back unasked, as the server wrote them.
#pragma once

#include "platform/Platform.h"
#include "platform/remote/Frames.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace agent {

// The agent's output (the standard output): whole frames, one at a time, from the request loop
// and the servers' delivery threads alike. Any thread.
class FrameWriter {
public:
    // false once the program has gone.
    bool write(const std::vector<std::uint8_t>& frame);

private:
    std::mutex _mutex;
    bool _gone = false;
};

class AgentService {
public:
    AgentService(std::string programText, FrameWriter& writer);
    // Releases what the program left: advises first, then the objects.
    ~AgentService();
    AgentService(const AgentService&) = delete;
    AgentService& operator=(const AgentService&) = delete;

    // The answer frame (length and FlatBuffer) to a request. Any worker.
    std::vector<std::uint8_t> answer(const tagvista::agent::Envelope& request);

private:
    struct Held {
        IUnknown* pointer = nullptr;  // one reference, of the interface iid names
        IID iid{};
    };
    // A stream advised on a group's IDataObject, or a sink advised on a connection point.
    struct Advised {
        std::uint64_t object = 0;           // the group or the connection point, as the program names it
        IUnknown* source = nullptr;         // the IDataObject or the IConnectionPoint; one reference
        bool connectionPoint = false;
        DWORD cookie = 0;
    };

    // A held object for the length of a request, with a reference of its own: a release the
    // program asks meanwhile on another worker cannot free it under the call.
    class Borrowed {
    public:
        Borrowed() = default;
        explicit Borrowed(IUnknown* pointer) : _pointer(pointer) {}  // takes the reference
        Borrowed(Borrowed&& other) noexcept : _pointer(other._pointer) { other._pointer = nullptr; }
        Borrowed& operator=(Borrowed&& other) noexcept
        {
            std::swap(_pointer, other._pointer);
            return *this;
        }
        ~Borrowed()
        {
            if (_pointer) _pointer->Release();
        }
        explicit operator bool() const { return _pointer != nullptr; }
        IUnknown* get() const { return _pointer; }
        template <class Interface>
        Interface* as() const
        {
            return static_cast<Interface*>(_pointer);
        }

    private:
        IUnknown* _pointer = nullptr;
    };

    std::uint64_t hold(IUnknown* pointer, const IID& iid);
    // The held object when it is of iid; empty otherwise.
    Borrowed held(std::uint64_t object, const IID& iid) const;
    void unadviseAll();
    // Ends the advises made through object (a group or a connection point that goes).
    void unadviseOf(std::uint64_t object);
    static HRESULT endAdvise(const Advised& advised);
    // The answers too long to write inline in answer().
    void answerAdviseConnection(flatbuffers::FlatBufferBuilder& builder, const tagvista::agent::AdviseConnection& advise,
                                tagvista::agent::Body& type, flatbuffers::Offset<void>& body);
    void answerBrowse(flatbuffers::FlatBufferBuilder& builder, const tagvista::agent::Browse& browse,
                      tagvista::agent::Body& type, flatbuffers::Offset<void>& body);

    std::string _programText;
    FrameWriter& _writer;
    mutable std::mutex _tableMutex;
    std::map<std::uint64_t, Held> _objects;  // guarded by _tableMutex
    std::uint64_t _nextObject = 1;           // guarded by _tableMutex
    std::mutex _advisedMutex;
    std::map<std::uint32_t, Advised> _advised;  // guarded by _advisedMutex
    std::atomic<std::uint32_t> _nextConnection{1};
};

// Serves requests from the standard input until it ends (0) or brings what is not the protocol
// (2, the reason in reason). Requests are answered by a few workers side by side, so that a
// server call that hangs holds up only the requests behind it on its worker. stuck tells
// whether a request was still being served when the input ended (and stayed so for a while):
// then the service may not be destroyed, and the agent ends without its clean-up.
int serveStream(AgentService& service, FrameWriter& writer, std::string& reason, bool& stuck);

} // namespace agent
