// The standard output of a command, written line by line and flushed at once, so that a reader at
// the other end of a pipe sees each line as soon as it is made. Main thread only.
#pragma once

#include <cstdio>
#include <string>

namespace cli {

class Output {
public:
    // The stream is not owned. The process must ignore SIGPIPE, so that a reader that has gone
    // shows as a failed write instead of ending the process.
    explicit Output(std::FILE* stream = stdout) : _stream(stream) {}

    // Writes text (one or more whole lines) and flushes it. False once any write has failed;
    // nothing more is written then.
    bool write(const std::string& text);

    // The reader has closed its end (a pipe into head): the command ends early, which is no error.
    bool readerGone() const { return _readerGone; }
    // Any other write failure, with the system's words for it; empty when there was none.
    const std::string& failure() const { return _failure; }

private:
    std::FILE* _stream;
    bool _readerGone = false;
    std::string _failure;
};

} // namespace cli
