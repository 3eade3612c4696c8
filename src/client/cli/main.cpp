// tagvista-cli: the servers of a computer, the address space of a server and its live values,
// from a shell, a script or a machine without a display. The options are read here; the work is
// in Commands.cpp, on the same engine as the window.
#include "Commands.h"
#include "Console.h"
#include "Output.h"
#include "StopSignals.h"
#include "client/Exception.h"
#include "client/Logger.h"
#include "platform/Dispatcher.h"
#include "platform/Files.h"
#include "platform/Registry.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <memory>

namespace {

// Longer than any watch anybody waits for, and short enough for the clock's arithmetic.
constexpr double kMaxSeconds = 1e9;

const std::string kCommands = "servers, browse, watch";

// Subcommands of the CLI11 app that the user may name.
bool isCommand(const std::string& word)
{
    return word == "servers" || word == "browse" || word == "watch";
}

// --browser: which of the server's browsers reads the address space.
void addBrowserChoice(CLI::App* command, std::string& value)
{
    command
        ->add_option("--browser", value,
                     "Which browser reads the address space: 2 (DA 2.0 IOPCBrowseServerAddressSpace), 3 (DA 3.0 "
                     "IOPCBrowse) or auto (2, else 3)")
        ->check(CLI::IsMember({"auto", "2", "3"}))
        ->type_name("N")
        ->capture_default_str();
}

OPC_Connection::Browser browserFromName(const std::string& name)
{
    return name == "2" ? OPC_Connection::Browser::Da2 : name == "3" ? OPC_Connection::Browser::Da3 : OPC_Connection::Browser::Auto;
}

} // namespace

int main(int argc, char** argv)
{
    // Before the first word of help or error.
    cli::Output::prepareStreams();

    CLI::App app{"Looks into the OPC DA servers of a computer: lists them, shows a server's address space, "
                 "and prints its live values.",
                 "tagvista-cli"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("tagvista-cli ") + TAGVISTA_VERSION_TEXT,
                         "Print the version and exit");

    // Before the command name and after it alike, and in the help of each command.
    int logLevel = 0;
    const auto addLogLevel = [&logLevel](CLI::App* command) {
        command
            ->add_option("--log-level", logLevel, "Write the log up to this level to the standard error (0: nothing, "
                                                  "2: failures, 5: server details, 7: everything)")
            ->check(CLI::Range(0, 7))
            ->type_name("N");
    };
    addLogLevel(&app);

    cli::ServersOptions servers;
    CLI::App* serversCommand = app.add_subcommand("servers", "List the OPC servers registered on a computer: "
                                                             "name, a tab, the class identifier");
    serversCommand->add_option("HOST", servers.host, "The computer; \"(local)\" for this one")
        ->capture_default_str();
    addLogLevel(serversCommand);

    cli::BrowseOptions browse;
    CLI::App* browseCommand =
        app.add_subcommand("browse", "Connect to a server and print its address space as an indented tree");
    browseCommand->add_option("--host", browse.host, "The computer the server is registered on")
        ->type_name("HOST")
        ->capture_default_str();
    browseCommand->add_flag("--flat", browse.flat, "One item path per line with its client handle instead");
    std::string browseBrowser = "auto";
    addBrowserChoice(browseCommand, browseBrowser);
    browseCommand->add_option("SERVER", browse.server, "The server's name as `servers` lists it, or its braced "
                                                       "class identifier")
        ->required();
    addLogLevel(browseCommand);

    cli::WatchOptions watch;
    double seconds = 0;
    std::string branch;
    std::string format = "text";
    CLI::App* watchCommand = app.add_subcommand(
        "watch", "Connect to a server, subscribe to every item and print each new value until Ctrl-C");
    watchCommand->add_option("--host", watch.host, "The computer the server is registered on")
        ->type_name("HOST")
        ->capture_default_str();
    CLI::Option* secondsOption =
        watchCommand->add_option("--seconds", seconds, "End after N seconds (a decimal number) instead of at Ctrl-C")
            ->type_name("N")
            ->check(CLI::Validator(
                [](const std::string& text) -> std::string {
                    double value = 0;
                    if (!CLI::detail::lexical_cast(text, value) || !std::isfinite(value) || value <= 0 ||
                        value > kMaxSeconds)
                        return "\"" + text + "\" is not a number of seconds above 0";
                    return {};
                },
                ""));
    CLI::Option* branchOption = watchCommand->add_option(
        "--branch", branch, "Only the items below this branch, its path as `browse` shows the nesting (X/Y)")
        ->type_name("PATH");
    watchCommand
        ->add_option("--format", format, "The form of the lines: text (tab-separated), csv or json "
                                                 "(JSON Lines)")
        ->check(CLI::IsMember({"text", "csv", "json"}))
        ->type_name("FORMAT")
        ->capture_default_str();
    std::string watchBrowser = "auto";
    addBrowserChoice(watchCommand, watchBrowser);
    std::string subscription = "auto";
    watchCommand
        ->add_option("--subscription", subscription,
                     "How values come: stream (DA 1.0 IDataObject), callback (DA 2.0 IOPCDataCallback) or auto "
                     "(the stream, else the callback)")
        ->check(CLI::IsMember({"auto", "stream", "callback"}))
        ->type_name("WAY")
        ->capture_default_str();
    watchCommand->add_option("SERVER", watch.server, "The server's name as `servers` lists it, or its braced "
                                                     "class identifier")
        ->required();
    addLogLevel(watchCommand);

    if (argc == 1) {
        std::fprintf(stderr, "%s", app.help().c_str());
        return cli::kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // A first word that is no option and no command is the commonest slip: say so plainly.
        if (app.get_subcommands().empty() && argc > 1 && argv[1][0] != '-' && !isCommand(argv[1])) {
            std::fprintf(stderr, "tagvista-cli: unknown command \"%s\" (the commands are %s; see --help)\n", argv[1],
                         kCommands.c_str());
            return cli::kExitUsage;
        }
        const int code = app.exit(e);
        return code == 0 ? cli::kExitOk : cli::kExitUsage;
    }
    if (*secondsOption) watch.seconds = seconds;
    if (*branchOption) watch.branch = branch;
    watch.format = cli::watchFormatFromName(format).value_or(cli::WatchFormat::Text);
    browse.browser = browserFromName(browseBrowser);
    watch.interfaces.browser = browserFromName(watchBrowser);
    watch.interfaces.subscription = subscription == "stream"     ? OPC_Connection::Subscription::Stream
                                    : subscription == "callback" ? OPC_Connection::Subscription::Callback
                                                                 : OPC_Connection::Subscription::Auto;

    // The log goes to the standard error, so the standard output carries nothing but results.
    logg::Logger& logger = logg::Logger::instance();
    logger.setFileName("");
    logger.setConsole(platform::kStandardError);
    logger.setLevel(logLevel);
    // What the registry skipped in its files (and a user file it kept aside) is a failure.
    platform::registry::setDiagnosticsHandler([](const std::string& text) { LOGG(2, "%s", text.c_str()); });

    platform::Dispatcher& dispatcher = platform::Dispatcher::instance();
    dispatcher.bindMainThread();
    cli::StopSignals stop([&dispatcher] { dispatcher.wakeWaiters(); });

    try {
        cli::Console console(stop);
        cli::Output output;
        if (*serversCommand) return cli::runServers(servers, console, output);
        if (*browseCommand) return cli::runBrowse(browse, console, output);
        return cli::runWatch(watch, console, output);
    } catch (const Exception& e) {
        cli::printError(e.message());
    } catch (const std::exception& e) {
        cli::printError(e.what());
    }
    return cli::kExitFailed;
}
