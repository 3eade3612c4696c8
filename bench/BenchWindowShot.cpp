// Takes the picture of the main window for the README: the window connected to the simulation
// server, a branch selected, live values in the table. Run it on a display (for the picture of
// record, under xvfb-run, so that the platform's own style draws it):
//
//   bench_window_shot <file.png> [branch path, default "Plant/Line1/Motors/M101"] [seconds of values, default 3]
#include "MainFormUnit.h"
#include "client/Logger.h"
#include "client/OPC_Connection.h"
#include "platform/Dispatcher.h"
#include "platform/RegistryFiles.h"

#include <QApplication>
#include <QPixmap>
#include <QSplitter>
#include <QTreeWidget>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

namespace {

bool runUntil(const std::function<bool()>& done, double seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}

void runFor(double seconds)
{
    runUntil([] { return false; }, seconds);
}

QTreeWidgetItem* child(QTreeWidgetItem* node, const QString& caption)
{
    for (int i = 0; i < node->childCount(); ++i)
        if (node->child(i)->text(0) == caption) return node->child(i);
    return nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <file.png> [branch path] [seconds]\n", argv[0]);
        return 2;
    }
    const QString output = QString::fromLocal8Bit(argv[1]);
    const QStringList path = QString::fromUtf8(argc > 2 ? argv[2] : "Plant/Line1/Motors/M101").split('/');
    const double seconds = argc > 3 ? std::atof(argv[3]) : 3.0;

    char pattern[] = "/tmp/tagvista-shot-XXXXXX";
    const std::string home = ::mkdtemp(pattern);
    ::setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    ::setenv("TAGVISTA_CLASSES_PATH", TAGVISTA_CLASSES_DIR, 1);
    platform::registry::reload();

    QApplication application(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Tagvista"));
    platform::Dispatcher::instance().bindMainThread();
    logg::Logger::instance().setConsole(-1);
    Co::Inner com;

    auto window = std::make_unique<TMainForm>();
    logg::Logger::instance().setFileName("");
    window->resize(940, 520);
    window->findChild<QSplitter*>("_splitter")->setSizes({250, 687});
    window->show();

    QTreeWidgetItem* local = window->tree()->topLevelItem(0);
    QTreeWidgetItem* server = nullptr;
    if (!runUntil([&] { return (server = child(local, "Tagvista.Simulation.1")) != nullptr; }, 30)) {
        std::fprintf(stderr, "the simulation server is not listed (classes in %s)\n", TAGVISTA_CLASSES_DIR);
        return 1;
    }
    window->tree()->expandItem(server);
    OPC_Connection* connection = TMainForm::connectionOf(server);
    if (!runUntil([&] { return connection->connected(); }, 60)) {
        std::fprintf(stderr, "connect failed: %s\n", connection->lastError().c_str());
        return 1;
    }
    QTreeWidgetItem* node = server;
    for (const QString& caption : path) {
        node = child(node, caption);
        if (!node) {
            std::fprintf(stderr, "no branch %s\n", qPrintable(caption));
            return 1;
        }
        node->setExpanded(true);
    }
    window->tree()->setCurrentItem(node);
    window->tree()->scrollToItem(node);
    runFor(seconds);

    const QPixmap picture = window->grab();
    if (!picture.save(output, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(output));
        return 1;
    }
    window->close();
    runUntil([&] { return !window->isVisible(); }, 30);
    window.reset();
    std::filesystem::remove_all(home);
    return 0;
}
