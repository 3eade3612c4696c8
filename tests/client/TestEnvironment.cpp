// The engine's and the form's tests start COM once, as the program's start-up does, and keep
// the log quiet unless a test captures it.
#include "client/Logger.h"
#include "client/OPC_Connection.h"

#include <gtest/gtest.h>

namespace {
class EngineEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        auto& logger = logg::Logger::instance();
        logger.setFileName("");
        logger.setConsole(-1);
        _com = std::make_unique<Co::Inner>();
    }
    void TearDown() override
    {
        // Workers free themselves after their completion step; let the last ones end.
        platform::Dispatcher::instance().pumpUntil([] { return platform::Worker::running() == 0; },
                                                   std::chrono::seconds(20));
        _com.reset();
    }

private:
    std::unique_ptr<Co::Inner> _com;
};
const auto* const environment = testing::AddGlobalTestEnvironment(new EngineEnvironment);
} // namespace
