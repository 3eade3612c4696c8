// The standard output of a command, written line by line and each line at once, so that a reader at
// the other end of a pipe sees each line as soon as it is made; and the setting up of the standard
// streams for the program's UTF-8 texts. Main thread only, unless said otherwise.
#pragma once

#include <string>

namespace cli {

class Output {
public:
    // First thing in main, before anything is written: the standard output and error carry the
    // program's UTF-8 bytes unchanged, lines end in LF on every system, and a reader that has gone
    // shows as a failed write instead of ending the process. On Windows a console that either
    // stream goes to is switched to the UTF-8 code page until the process ends.
    static void prepareStreams();
    // Any thread: puts back what prepareStreams changed outside the process (a console's code
    // page), for an end that skips the normal exit. A normal exit does it by itself.
    static void restoreStreams();

    // Writes text (one or more whole lines) to the standard output at once. False once any write
    // has failed; nothing more is written then.
    bool write(const std::string& text);

    // The reader has closed its end (a pipe into head): the command ends early, which is no error.
    bool readerGone() const { return _readerGone; }
    // Any other write failure, with the system's words for it; empty when there was none.
    const std::string& failure() const { return _failure; }

private:
    bool _readerGone = false;
    std::string _failure;
};

} // namespace cli
