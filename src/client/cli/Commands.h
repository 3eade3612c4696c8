// The three commands of tagvista-cli (servers, browse, watch), their options and exit codes. Each
// runs on the main thread with the console it is given; results go to the output, failures as one
// line each to the standard error.
#pragma once

#include "Console.h"
#include "client/OPC_Connection.h"
#include "Output.h"
#include "WatchFormat.h"

#include <optional>
#include <string>

namespace cli {

// The exit codes, as the README lists them.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;        // what the command line asks for makes no sense
constexpr int kExitFailed = 2;       // the host, the server, the connection or the output failed
constexpr int kExitInterrupted = 130;  // a stop ended servers or browse before they were done

constexpr const char* kLocalHostName = "(local)";

struct ServersOptions {
    std::string host = kLocalHostName;
};

struct BrowseOptions {
    std::string host = kLocalHostName;
    std::string server;
    bool flat = false;
    OPC_Connection::Browser browser = OPC_Connection::Browser::Auto;
};

struct WatchOptions {
    std::string host = kLocalHostName;
    std::string server;
    std::optional<double> seconds;      // none: until a stop
    std::optional<std::string> branch;  // none: every item
    WatchFormat format = WatchFormat::Text;
    OPC_Connection::Interfaces interfaces;
};

// Lists the servers of the host: name, a tab, the braced class identifier.
int runServers(const ServersOptions& options, Console& console, Output& output);
// Connects, prints the address space (tree or flat list), disconnects. A connect that ends with
// an error text fails the command even when the server is connected.
int runBrowse(const BrowseOptions& options, Console& console, Output& output);
// Connects and prints one line per value notification until the time is up, a stop comes or the
// reader of the output has gone; then disconnects and waits for it.
int runWatch(const WatchOptions& options, Console& console, Output& output);

// Writes "tagvista-cli: <text>" as one line to the standard error.
void printError(const std::string& text);

} // namespace cli
