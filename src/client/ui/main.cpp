// The program's entry: the sockets start-up, the application object, the main window and its
// message loop, and the orderly end once the window has closed.
#include "Application.h"
#include "MainFormUnit.h"
#include "MessageBoxes.h"
#include "client/form/UserSettings.h"
#include "client/Logger.h"
#include "client/OPC_Connection.h"
#include "platform/Dispatcher.h"
#include "platform/HostLookup.h"
#include "platform/Registry.h"
#include "platform/remote/RemoteAgents.h"
#include "platform/Worker.h"

#include <QApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// How long the end waits for workers that a close did not wait for (the disconnects of removed
// hosts); a server that hangs longer is left behind.
constexpr std::chrono::seconds kWorkerGrace{10};

} // namespace

int main(int argc, char** argv)
{
    WSADATA sockets;
    WSAStartup(0x0101, &sockets);  // only the host lookup needs sockets; its result is not looked at

    QApplication application(argc, argv);
    configureApplication();
    platform::Dispatcher& dispatcher = platform::Dispatcher::instance();
    dispatcher.bindMainThread();
    installAssertionQuestion();

    std::unique_ptr<Co::Inner> com;
    std::unique_ptr<TMainForm> window;
    try {
        com = std::make_unique<Co::Inner>();
        OPC_Connection::setDefaultTiming(settings::connectionTiming());
        const settings::AgentCommands agentCommands = settings::agentCommands();
        platform::setAgentCommands(agentCommands.ssh, agentCommands.agent);
        window = std::make_unique<TMainForm>();
        // Once the window has set the log up; what the registry collected before comes first.
        platform::registry::setDiagnosticsHandler([](const std::string& text) { LOGG(2, "%s", text.c_str()); });
        window->show();
        QApplication::exec();
    } catch (...) {
        showErrorMessage(window.get(), errorText(std::current_exception()));
    }

    // The close waited for every server in the tree; what is left are workers of removed hosts.
    const bool workersEnded =
        dispatcher.pumpUntil([] { return platform::Worker::running() == 0; }, kWorkerGrace);
    if (!workersEnded) {
        // A server hangs in its worker: freeing what the worker still uses is not an option, and
        // neither is waiting for ever. The placement is saved as the window's end would save it,
        // and the process ends without its clean-up.
        if (window) window->savePlacement();
        std::fflush(nullptr);
        std::_Exit(0);
    }
    window.reset();
    com.reset();
    WSACleanup();
    return 0;
}
