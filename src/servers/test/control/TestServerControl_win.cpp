// The test servers' DLL through the system's loader, by the path the build gives: the path the
// registration names, so the loader hands back the module COM has loaded.
#include "servers/test/TestServerControl.h"
#include "servers/test/TestServerPaths.h"

#include "platform/Text.h"

namespace servers::test {

void* testServersSymbol(const char* name)
{
    static const HMODULE library = LoadLibraryW(platform::utf8ToUtf16(kTestServersLibrary).c_str());
    return library ? reinterpret_cast<void*>(GetProcAddress(library, name)) : nullptr;
}

} // namespace servers::test
