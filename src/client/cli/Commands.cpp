#include "Commands.h"

#include "ServerChoice.h"
#include "TreeText.h"
#include "client/Logger.h"
#include "client/ValueText.h"

#include <chrono>
#include <cstdio>

namespace cli {

namespace {

int outputResult(const Output& output)
{
    if (output.failure().empty()) return kExitOk;
    printError("the output could not be written: " + output.failure());
    return kExitFailed;
}

// The host listed and the server chosen from it; the exit code when either failed.
std::optional<int> findServer(Console& console, const std::string& host, const std::string& wanted,
                              Host::OpcServerInfo& server, int exitOnStop)
{
    if (!console.listHost(host)) {
        if (!console.error().empty()) {
            printError(console.error());
            return kExitFailed;
        }
        return exitOnStop;
    }
    const std::optional<Host::OpcServerInfo> chosen = chooseServer(console.host().servers(), wanted);
    if (!chosen) {
        printError("no OPC server \"" + oneLine(wanted) + "\" on " + oneLine(host));
        return kExitFailed;
    }
    server = *chosen;
    return std::nullopt;
}

// After a connect that did not succeed: the server let go of, and the exit code.
int failedConnect(Console& console, int exitOnStop)
{
    const std::string error = console.error();
    console.disconnect();
    if (error.empty()) return exitOnStop;
    printError(error);
    return kExitFailed;
}

} // namespace

void printError(const std::string& text)
{
    std::fprintf(stderr, "tagvista-cli: %s\n", oneLine(text).c_str());
    std::fflush(stderr);
}

int runServers(const ServersOptions& options, Console& console, Output& output)
{
    if (!console.listHost(options.host)) {
        if (console.error().empty()) return kExitInterrupted;
        printError(console.error());
        return kExitFailed;
    }
    for (const Host::OpcServerInfo& server : console.host().servers()) {
        if (!output.write(oneLine(server.name) + "\t" + platform::guidToString(server.clsid) + "\n")) break;
    }
    return outputResult(output);
}

int runBrowse(const BrowseOptions& options, Console& console, Output& output)
{
    Host::OpcServerInfo server;
    if (const auto exit = findServer(console, options.host, options.server, server, kExitInterrupted)) return *exit;
    if (!console.connect(server, {.browser = options.browser})) return failedConnect(console, kExitInterrupted);

    OPC_Connection& connection = console.connection();
    const std::vector<std::string> lines = options.flat ? flatLines(connection.items()) : treeLines(connection);
    for (const std::string& line : lines) {
        if (!output.write(line + "\n")) break;
    }
    console.disconnect();
    return outputResult(output);
}

int runWatch(const WatchOptions& options, Console& console, Output& output)
{
    // A stop ends a watch as it was meant to end, whenever it comes.
    Host::OpcServerInfo server;
    if (const auto exit = findServer(console, options.host, options.server, server, kExitOk)) return *exit;
    if (!console.connect(server, options.interfaces)) return failedConnect(console, kExitOk);

    std::optional<std::unordered_set<const OPC_Item*>> selected;
    if (options.branch) {
        bool found = false;
        selected = itemsBelow(console.connection(), *options.branch, found);
        if (!found) {
            console.disconnect();
            printError("no branch \"" + oneLine(*options.branch) + "\" in the address space of " + oneLine(server.name));
            return kExitFailed;
        }
    }

    // An item prints its latest value when its line is printed: the changes it went through
    // since its last line count as superseded. An item outside the branch is never read, and so
    // notifies no more.
    std::uint64_t printed = 0;
    std::uint64_t superseded = 0;
    const Console::ItemSink sink = [&](OPC_Item& item) {
        if (selected && !selected->contains(&item)) return true;
        const std::uint32_t changes = item.takeChanges();
        ++printed;
        if (changes > 1) superseded += changes - 1;
        const OPC_Item::Record record = item.readValue();
        const WatchRow row{item.path(), typeText(record.value->vt), valueText(*record.value.get()),
                           timeStampText(record.timeStamp), qualityText(record.quality)};
        return output.write(watchLine(options.format, row));
    };

    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (options.seconds) {
        deadline = std::chrono::steady_clock::now() +
                   std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                       std::chrono::duration<double>(*options.seconds));
    }
    const auto report = [&] {
        LOGG(5, "watch: %llu values printed, %llu changes superseded by a later value of their item",
             static_cast<unsigned long long>(printed), static_cast<unsigned long long>(superseded));
    };
    const std::string header = watchHeader(options.format);
    if (header.empty() || output.write(header)) console.pumpValues(sink, deadline, report);
    console.disconnect();
    if (console.lost()) {
        // The values printed last are not live any more: the exit says so too.
        printError(console.error());
        return kExitFailed;
    }
    if (superseded > 0) {
        // Said once at the end, so that whoever keeps the output knows that not every change is
        // in it: a server faster than the output is read at its latest values.
        printError(std::to_string(superseded) + " of " + std::to_string(printed + superseded) +
                   " changes were superseded by a later value of their item before they were printed");
    }
    return outputResult(output);
}

} // namespace cli
