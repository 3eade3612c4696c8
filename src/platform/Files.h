// Files by descriptor, as the log writer and the command-line tool use them: a file opened for
// appending, the standard streams, and one write at a time. The same calls on both systems (on
// Windows the C runtime's descriptors, in binary mode, so a line feed stays one byte). Any thread.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

constexpr int kStandardOutput = 1;
constexpr int kStandardError = 2;

// Opens (creating it if missing) a file for appending; not inherited by child processes.
// -1 when it cannot be opened.
int openForAppend(const std::string& path);
// Whether the descriptor is open (a program started without a standard output has none).
bool isOpenDescriptor(int fd);
// Writes all of the bytes, in as few writes as the system allows; false when a write failed.
bool writeAll(int fd, const char* data, std::size_t size);
void closeDescriptor(int fd);
// Deletes a file; false when it could not (missing included).
bool deleteFile(const std::string& path);

} // namespace platform
