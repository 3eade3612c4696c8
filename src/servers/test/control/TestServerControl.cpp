// The test servers' library through the dynamic loader, by the path the build gives.
#include "servers/test/TestServerControl.h"
#include "servers/test/TestServerPaths.h"

#include <dlfcn.h>

namespace servers::test {

void* testServersSymbol(const char* name)
{
    static void* const library = ::dlopen(kTestServersLibrary, RTLD_NOW | RTLD_LOCAL);
    return library ? ::dlsym(library, name) : nullptr;
}

} // namespace servers::test
