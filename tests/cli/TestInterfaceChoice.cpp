// The choice of subscription and browser on the command line: every path gives the same values and
// the same address space, a server that offers only the newer interfaces is served with nothing
// asked, and a path the server lacks fails with its own text.
#include "CliTestSupport.h"
#include "servers/test/TestServers.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace clitest;
using servers::test::Fault;
using servers::test::progIdOf;

namespace {

const std::string kSimulation = "Tagvista.Simulation.1";

// The types, qualities and item paths of a text watch.
struct Seen {
    std::set<std::string> types;
    std::set<std::string> qualities;
    std::set<std::string> paths;
};

Seen seenIn(const Result& result)
{
    Seen seen;
    for (const std::string& line : result.outLines()) {
        const std::vector<std::string> row = splitTabs(line);
        if (row.size() != 5) continue;
        seen.paths.insert(row[0]);
        seen.types.insert(row[1]);
        seen.qualities.insert(row[4]);
    }
    return seen;
}

} // namespace

TEST(InterfaceChoice, TheCallbackBringsWhatTheStreamBrings)
{
    const Result stream = run({"--log-level", "5", "watch", "--seconds", "2", "--subscription", "stream", kSimulation});
    const Result callback =
        run({"--log-level", "5", "watch", "--seconds", "2", "--subscription", "callback", kSimulation});
    ASSERT_EQ(stream.exitCode, 0) << stream.err;
    ASSERT_EQ(callback.exitCode, 0) << callback.err;
    EXPECT_NE(stream.err.find("data changes come through the DA 1.0 stream (IDataObject)"), std::string::npos)
        << stream.err;
    EXPECT_NE(callback.err.find("data changes come through the DA 2.0 callback (IOPCDataCallback)"), std::string::npos)
        << callback.err;

    const Seen fromStream = seenIn(stream);
    const Seen fromCallback = seenIn(callback);
    EXPECT_GT(fromStream.types.size(), 10u);
    EXPECT_EQ(fromCallback.types, fromStream.types);
    // Good, bad and uncertain values, with their sub-statuses.
    EXPECT_GE(fromStream.qualities.size(), 4u);
    EXPECT_EQ(fromCallback.qualities, fromStream.qualities);
    EXPECT_EQ(fromCallback.paths, fromStream.paths);
}

TEST(InterfaceChoice, BothBrowsersReadTheSameAddressSpace)
{
    for (const std::string& server : {kSimulation, std::string(progIdOf(Fault::None))}) {
        const Result flat2 = run({"browse", "--flat", "--browser", "2", server});
        const Result flat3 = run({"--log-level", "5", "browse", "--flat", "--browser", "3", server});
        ASSERT_EQ(flat2.exitCode, 0) << flat2.err;
        ASSERT_EQ(flat3.exitCode, 0) << flat3.err;
        EXPECT_GT(flat2.outLines().size(), 4u);
        EXPECT_EQ(flat3.out, flat2.out) << server;
        EXPECT_NE(flat3.err.find("read through the DA 3.0 browser (IOPCBrowse)"), std::string::npos) << flat3.err;
        EXPECT_EQ(run({"browse", "--browser", "3", server}).out, run({"browse", server}).out) << server;
    }
}

TEST(InterfaceChoice, ServersOfTheNewerInterfacesOnlyNeedNothingAsked)
{
    const Result callbackOnly = run({"watch", "--seconds", "1", std::string(progIdOf(Fault::CallbackOnly))});
    EXPECT_EQ(callbackOnly.exitCode, 0) << callbackOnly.err;
    EXPECT_EQ(seenIn(callbackOnly).paths, (std::set<std::string>{"X/Y/y1", "X/x1", "X/x2", "a", "b"}));

    const Result browse3Only = run({"browse", std::string(progIdOf(Fault::Da3BrowseOnly))});
    EXPECT_EQ(browse3Only.exitCode, 0) << browse3Only.err;
    EXPECT_EQ(browse3Only.outLines(), (std::vector<std::string>{"X/", "  Y/", "    y1", "  x1", "  x2", "a", "b"}));
}

TEST(InterfaceChoice, APathTheServerLacksFailsWithItsText)
{
    const std::string old = progIdOf(Fault::OldInterfacesOnly);
    const Result browse = run({"browse", "--browser", "3", old});
    EXPECT_EQ(browse.exitCode, 2);
    EXPECT_EQ(browse.out, "");
    EXPECT_EQ(browse.err.rfind("tagvista-cli: (local)|" + old + ": QueryInterface(IID_IOPCBrowse) Failed: ", 0), 0u)
        << browse.err;

    const Result watch = run({"watch", "--seconds", "0.5", "--subscription", "callback", old});
    EXPECT_EQ(watch.exitCode, 2);
    EXPECT_EQ(watch.err.rfind("tagvista-cli: (local)|" + old + ": QueryInterface(IID_IConnectionPointContainer) Failed: ", 0),
              0u)
        << watch.err;

    const std::string callbackOnly = progIdOf(Fault::CallbackOnly);
    const Result stream = run({"watch", "--seconds", "0.5", "--subscription", "stream", callbackOnly});
    EXPECT_EQ(stream.exitCode, 2);
    EXPECT_EQ(stream.err.rfind("tagvista-cli: (local)|" + callbackOnly + ": QueryInterface(IID_IDataObject) Failed: ", 0),
              0u)
        << stream.err;

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"browse", "--browser", "4", kSimulation},
          std::vector<std::string>{"watch", "--subscription", "poll", kSimulation}}) {
        const Result bad = run(args);
        EXPECT_EQ(bad.exitCode, 1) << args[1];
        EXPECT_EQ(bad.out, "");
    }
}
