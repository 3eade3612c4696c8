// tagvista.exe: the program's entry on Windows: COM's start-up, the main window and its message
// loop, and the orderly end once the window has closed.
#include "MainWindow.h"
#include "MessageBoxes.h"
#include "client/Logger.h"
#include "client/OPC_Connection.h"
#include "client/form/ErrorBoxes.h"
#include "client/form/UserSettings.h"
#include "platform/Dispatcher.h"
#include "platform/Registry.h"
#include "platform/Worker.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// How long the end waits for workers that a close did not wait for (the disconnects of removed
// hosts); a server that hangs longer is left behind.
constexpr std::chrono::seconds kWorkerGrace{10};

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCommand)
{
    WSADATA sockets;
    WSAStartup(MAKEWORD(2, 2), &sockets);  // the host lookup of remote hosts
    platform::Dispatcher& dispatcher = platform::Dispatcher::instance();
    dispatcher.bindMainThread();
    win32::installAssertionQuestion();

    std::unique_ptr<Co::Inner> com;
    std::unique_ptr<win32::MainWindow> window;
    try {
        com = std::make_unique<Co::Inner>();
        OPC_Connection::setDefaultTiming(settings::connectionTiming());
        window = std::make_unique<win32::MainWindow>();
        // Once the window has set the log up; what the registry collected before comes first.
        platform::registry::setDiagnosticsHandler([](const std::string& text) { LOGG(2, "%s", text.c_str()); });
        window->show(showCommand);
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    } catch (...) {
        win32::showErrorMessage(window ? window->window() : nullptr, form::errorText(std::current_exception()));
    }

    // The close waited for every server in the tree; what is left are workers of removed hosts.
    if (!dispatcher.pumpUntil([] { return platform::Worker::running() == 0; }, kWorkerGrace)) {
        // A server hangs in its worker: freeing what the worker still uses is not an option, and
        // neither is waiting for ever. The placement is stored already (the window's end).
        std::fflush(nullptr);
        std::_Exit(0);
    }
    window.reset();
    com.reset();
    WSACleanup();
    return 0;
}
