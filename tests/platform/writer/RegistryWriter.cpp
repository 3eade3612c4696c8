// Another instance of the program for the registry tests: waits for one byte on its standard
// input, so that all instances start writing together, then writes <count> values under
// HKEY_CURRENT_USER\Software\Tagvista\<name>, each change a rewrite of the user file the
// environment names. Exits with 0 when every change succeeded; each failure is printed.
#include "platform/Registry.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s NAME COUNT\n", argv[0]);
        return 2;
    }
    const std::string name = argv[1];
    const int count = std::atoi(argv[2]);
    char go = 0;
    if (::read(STDIN_FILENO, &go, 1) != 1)
        return 2;

    const std::string path = "Software\\Tagvista\\" + name;
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        HKEY key = nullptr;
        LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (rc == ERROR_SUCCESS) {
            const std::string value = std::to_string(i);
            rc = RegSetValueExA(key, ("v" + value).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                static_cast<DWORD>(value.size() + 1));
            RegCloseKey(key);
        }
        if (rc != ERROR_SUCCESS) {
            std::fprintf(stderr, "%s: change %d failed with %ld\n", name.c_str(), i, static_cast<long>(rc));
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
