// An agent the test plays itself: the channel's program is a socket whose other end the test
// holds, reading the channel's requests and writing whatever it wants back (good answers, bad
// frames, nothing at all), and saying on its "standard error" what a failing ssh would say.
#pragma once

#include "platform/remote/ChildProcess.h"
#include "platform/remote/Frames.h"

#include <cerrno>
#include <mutex>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

namespace remotetest {

class ScriptedProcess final : public platform::remote::ChildProcess {
public:
    // other: the test's end of the stream.
    explicit ScriptedProcess(int& other)
    {
        int pair[2];
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
        _stream = pair[0];
        other = pair[1];
    }
    ~ScriptedProcess() override { ::close(_stream); }

    bool write(const std::uint8_t* bytes, std::size_t count) override
    {
        return ::send(_stream, bytes, count, MSG_NOSIGNAL) == static_cast<ssize_t>(count);
    }
    long read(std::uint8_t* bytes, std::size_t count) override
    {
        for (;;) {
            const ssize_t got = ::recv(_stream, bytes, count, 0);
            if (got < 0 && errno == EINTR) continue;
            return static_cast<long>(got);
        }
    }
    void stop() override { ::shutdown(_stream, SHUT_RDWR); }
    bool waitForEnd(std::chrono::milliseconds) override { return true; }
    std::string errorOutput() const override
    {
        std::lock_guard lock(_mutex);
        return _errors;
    }
    std::string endText() const override
    {
        std::lock_guard lock(_mutex);
        return _end;
    }
    // What the program "wrote to its standard error" and how it "ended", for the texts.
    void sayOnEnd(std::string errors, std::string end)
    {
        std::lock_guard lock(_mutex);
        _errors = std::move(errors);
        _end = std::move(end);
    }

private:
    int _stream = -1;
    mutable std::mutex _mutex;
    std::string _errors;
    std::string _end;
};

// The test's end: reads the channel's requests, writes frames or raw bytes.
class AgentEnd {
public:
    explicit AgentEnd(int fd) : _fd(fd) {}
    ~AgentEnd() { ::close(_fd); }

    // The next request, verified; none when the stream ended.
    std::optional<std::vector<std::uint8_t>> nextRequest()
    {
        for (;;) {
            if (auto frame = _reader.next()) return frame;
            std::uint8_t buffer[4096];
            const ssize_t got = ::recv(_fd, buffer, sizeof buffer, 0);
            if (got <= 0) return std::nullopt;
            _reader.feed(buffer, static_cast<std::size_t>(got));
        }
    }
    void send(const std::vector<std::uint8_t>& bytes) { ::send(_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    void close() { ::shutdown(_fd, SHUT_RDWR); }

private:
    int _fd;
    platform::remote::FrameReader _reader;
};

} // namespace remotetest
