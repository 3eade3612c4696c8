// Reading and writing the text format of the platform's registry editor (.reg files).
//
// Internal to the registry store. The reader never trusts its input: a malformed line is skipped
// with a diagnostic and the rest of the file still counts; a file without a known header is
// skipped whole. Reading is linear in the size of the file. Any thread, on data the caller
// guards.
#pragma once

#include "platform/RegTree.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform::regfile {

// Which root a file describes; it decides the key paths the file may name.
enum class Root {
    classes,    // HKEY_CLASSES_ROOT, HKCR, HKEY_LOCAL_MACHINE\SOFTWARE\Classes
    currentUser // HKEY_CURRENT_USER, HKCU
};

// Diagnostics kept per file; beyond this many, one line says how many more were skipped, so a
// file of garbage cannot fill the memory with complaints.
constexpr std::size_t maxDiagnosticsPerFile = 100;

// How much of a file apply() took.
enum class Taken {
    whole,   // every line
    partly,  // the header and some lines; at least one thing was skipped
    nothing  // no known header: the file was skipped whole
};

// Applies the file's content (its raw bytes: UTF-8, or UTF-16 in either byte order, with or
// without a byte-order mark; lines ending in LF, CR LF or CR alone) to the tree under root, as
// the registry editor would import it: later definitions override, deletions remove what is
// there. Values get `origin` as their origin. Each skip appends "<fileName>:<line>: <reason>" to
// diagnostics. Does not reindex: the caller calls root.reindexTree() once all files are in.
Taken apply(std::string_view bytes, const std::string& fileName, Root root, regtree::Key& rootKey,
            const std::shared_ptr<const std::string>& origin, std::vector<std::string>& diagnostics);

// The whole tree as a "Windows Registry Editor Version 5.00" file in UTF-8 that apply() reads
// back to the same keys, names, types and bytes. Every key gets a section, so empty keys
// survive. The tree must be indexed.
std::string write(const regtree::Key& rootKey, Root root);

// UTF-8 <-> UTF-16 for the store, independent of the rest of the layer. Malformed input becomes
// U+FFFD; embedded NULs are kept.
std::u16string toUtf16(std::string_view text);
std::string toUtf8(std::u16string_view text);

// Strings as the platform stores them: UTF-16LE bytes, and back (an odd last byte is ignored).
std::vector<BYTE> utf16Bytes(std::u16string_view text);
std::u16string fromUtf16Bytes(const std::vector<BYTE>& bytes);

} // namespace platform::regfile
