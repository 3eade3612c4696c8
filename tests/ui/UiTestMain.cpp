// Runs every test class of the window tests in one process, offscreen unless told otherwise.
#include "UiTestSupport.h"

#include "Application.h"
#include "MessageBoxes.h"
#include "client/Logger.h"
#include "client/OPC_Connection.h"
#include "platform/Dispatcher.h"

#include <QApplication>

#include <cstdlib>
#include <cstring>
#include <memory>

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    configureApplication();  // as the program does: the names reach the window titles
    QApplication::setQuitOnLastWindowClosed(false);
    platform::Dispatcher::instance().bindMainThread();
    logg::Logger::instance().setConsole(-1);  // the log goes to its file only, not into the report
    Co::Inner com;

    // "-class Name" runs one class; the other arguments go to Qt Test.
    const char* only = nullptr;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "-class") == 0 && i + 1 < argc) {
            only = argv[++i];
            continue;
        }
        args.push_back(argv[i]);
    }

    int failed = 0;
    for (const auto& [name, factory] : uitest::testClasses()) {
        if (only && std::strcmp(only, name) != 0) continue;
        std::unique_ptr<QObject> test(factory());
        failed += QTest::qExec(test.get(), static_cast<int>(args.size()), args.data()) != 0 ? 1 : 0;
    }
    return failed == 0 ? 0 : 1;
}
