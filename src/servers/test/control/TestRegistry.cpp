// The Linux layer's registry files for a test: the classes path and a configuration folder of
// the test's own, through the environment, read again on entry and on exit.
#include "servers/test/TestRegistry.h"
#include "servers/test/TestServerPaths.h"

#include "platform/RegistryFiles.h"

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <stdexcept>

namespace servers::test {

namespace {

class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : _name(name)
    {
        if (const char* old = std::getenv(name)) _old = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv()
    {
        if (_old) ::setenv(_name.c_str(), _old->c_str(), 1);
        else ::unsetenv(_name.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string _name;
    std::optional<std::string> _old;
};

std::filesystem::path newFolder()
{
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto path = std::filesystem::temp_directory_path() / ("tagvista-registry-" + std::to_string(random()));
        if (std::filesystem::create_directory(path)) return path;
    }
    throw std::runtime_error("no temporary folder for the user registry");
}

} // namespace

struct TestRegistry::State {
    explicit State(const std::string& classesPath)
        : home(newFolder()), classes("TAGVISTA_CLASSES_PATH", classesPath), config("XDG_CONFIG_HOME", home.string())
    {
        platform::registry::reload();
    }
    ~State()
    {
        std::error_code ec;
        std::filesystem::remove_all(home, ec);
    }
    std::filesystem::path home;
    ScopedEnv classes;
    ScopedEnv config;
};

TestRegistry::TestRegistry() : _state(std::make_unique<State>(kClassesPath)) {}

TestRegistry::TestRegistry(const std::string& classesFolder) : _state(std::make_unique<State>(classesFolder)) {}

TestRegistry::~TestRegistry()
{
    _state.reset();
    platform::registry::reload();
}

} // namespace servers::test
