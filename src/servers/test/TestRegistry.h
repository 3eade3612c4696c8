// The registry a test works in, for the life of the object: a classes root (this build tree's
// servers, or one made of the .reg files of a folder) and an empty user root of its own, so
// tests that run side by side never see each other's settings. Test thread; one object at a time.
//
// On Linux these are the layer's files: TAGVISTA_CLASSES_PATH and XDG_CONFIG_HOME point at them
// and the registry is reloaded. On Windows the classes root of the build's servers is the
// system's (the tests' "servers" fixture registers the DLLs); the user root, and a classes root
// made of files, are keys under HKEY_CURRENT_USER\Software\Tagvista\Tests that the process sees
// as HKEY_CURRENT_USER and HKEY_CLASSES_ROOT (RegOverridePredefKey) and that go again at the end.
// COM looks classes up in the system's root all the same: servers are created from the real one.
#pragma once

#include <memory>
#include <string>

namespace servers::test {

class TestRegistry {
public:
    // The classes of this build tree's servers.
    TestRegistry();
    // The classes that the *.reg files of the folder declare, and nothing else. A line the test
    // support cannot take throws std::runtime_error.
    explicit TestRegistry(const std::string& classesFolder);
    ~TestRegistry();
    TestRegistry(const TestRegistry&) = delete;
    TestRegistry& operator=(const TestRegistry&) = delete;

    struct State;

private:
    std::unique_ptr<State> _state;
};

} // namespace servers::test
