// The test servers' exports as a test calls them: the journal of a fault and the end of the hangs
// that run. The library is the one the classes root names, so this is the copy that serves the
// test's connections. Test thread.
#pragma once

#include "servers/test/TestServers.h"

namespace servers::test {

// An export of the test servers' library (TestServerPaths.h names it), loaded on first use and
// kept: the library is never unloaded while the process runs. Null when the library or the
// export is missing.
void* testServersSymbol(const char* name);

inline Journal journalOf(Fault fault)
{
    Journal journal;
    if (auto read = reinterpret_cast<JournalFunction>(testServersSymbol(kJournalExport))) read(fault, &journal);
    return journal;
}

inline void endHangs()
{
    if (auto end = reinterpret_cast<EndHangsFunction>(testServersSymbol(kEndHangsExport))) end();
}

} // namespace servers::test
