// tagvista-cli run as a child process against the test servers and the simulation server: what
// each command prints, the exit code and text of each failure, and the ends of a watch (time up,
// a stop request, the reader gone) each with a clean disconnect. The same on every system; how
// each finds its classes root is tested beside the system's part (unix/, windows/).
#include "CliTestSupport.h"
#include "client/ErrorString.h"
#include "servers/test/TestServers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>

using namespace clitest;
using servers::test::Fault;
using servers::test::progIdOf;

namespace {

const std::string kGood = progIdOf(Fault::None);
const std::set<std::string> kTestPaths{"X/Y/y1", "X/x1", "X/x2", "a", "b"};

int count(const std::string& text, const std::string& what)
{
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The log of a connection that went down cleanly: the disconnect work ran once, to its end.
void expectCleanDisconnect(const Result& result, const std::string& server)
{
    const std::string prefix = "(local)|" + server + ": ";
    EXPECT_EQ(count(result.err, prefix + "innerDisconnect()"), 1) << result.err;
    EXPECT_EQ(count(result.err, prefix + "unadvise()"), 1) << result.err;
    EXPECT_EQ(count(result.err, prefix + "onDisconnect()"), 1) << result.err;
}

// Each line of a text watch split into its five fields.
std::vector<std::vector<std::string>> textRows(const Result& result)
{
    std::vector<std::vector<std::string>> rows;
    for (const std::string& line : result.outLines()) rows.push_back(splitTabs(line));
    return rows;
}

} // namespace

// --- servers ---------------------------------------------------------------------------------

TEST(ServersCommand, RemoteHostFailsWithTheHostsText)
{
    const Result result = run({"servers", "plant-17"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.out, "");
    // On Linux the host goes to ssh (in the tests a stand-in that cannot resolve it), whose words
    // end the text.
    std::string cause = TAGVISTA_TEST_REMOTE_CAUSE;
    if (const std::size_t at = cause.find("%s"); at != std::string::npos) cause.replace(at, 2, "plant-17");
    EXPECT_EQ(result.err, "tagvista-cli: plant-17: RegConnectRegistry() Failed: " +
                              ErrorString(static_cast<std::uint32_t>(ERROR_BAD_NETPATH)).str() + cause + "\n");
}

// --- browse ----------------------------------------------------------------------------------

TEST(BrowseCommand, PrintsTheTreeAndTheFlatListWithHandles)
{
    const Result tree = run({"browse", kGood});
    EXPECT_EQ(tree.exitCode, 0) << tree.err;
    EXPECT_EQ(tree.err, "") << "the log is off without --log-level";
    EXPECT_EQ(tree.outLines(), (std::vector<std::string>{"X/", "  Y/", "    y1", "  x1", "  x2", "a", "b"}));

    const Result flat = run({"browse", "--flat", kGood});
    EXPECT_EQ(flat.exitCode, 0) << flat.err;
    EXPECT_EQ(flat.outLines(), (std::vector<std::string>{"X/Y/y1\t0", "X/x1\t1", "X/x2\t2", "a\t3", "b\t4"}));

    // The same server by its name in another case and by its class identifier.
    EXPECT_EQ(run({"browse", "TAGVISTA.TEST.GOOD"}).out, tree.out);
    EXPECT_EQ(run({"browse", platform::guidToString(servers::test::clsidOf(Fault::None))}).out, tree.out);
}

TEST(BrowseCommand, LogGoesToStandardErrorAtTheLevelAskedFor)
{
    TempDir workDir;
    Child child({"--log-level", "7", "browse", kGood}, Environment(), workDir.str());
    const Result result = child.finish();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.outLines().size(), 7u) << "the standard output carries the tree alone";
    EXPECT_NE(result.err.find("(local)|" + kGood + ": Successful connection"), std::string::npos) << result.err;
    expectCleanDisconnect(result, kGood);
    EXPECT_TRUE(workDir.entries().empty()) << "no log file is written";

    // After the command name too, and level 5 leaves out the level 7 lines.
    const Result five = run({"browse", kGood, "--log-level", "5"});
    EXPECT_NE(five.err.find(": AddItems( \"X/Y/y1\" ) Ok"), std::string::npos) << five.err;
    EXPECT_EQ(five.err.find("Successful connection"), std::string::npos);
}

TEST(BrowseCommand, FailuresExitWithTwoAndTheirText)
{
    // A name nobody registered: named, and nothing else said.
    const Result unknown = run({"browse", "No.Such.Server"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err, "tagvista-cli: no OPC server \"No.Such.Server\" on (local)\n");

    // Servers that cannot be created, listed or not.
    for (const std::string& server : {std::string(progIdOf(Fault::MissingLibrary)), std::string(progIdOf(Fault::FactoryFails)),
                                     std::string("{00000000-0000-0000-0000-0000000000AB}")}) {
        const Result result = run({"browse", server});
        EXPECT_EQ(result.exitCode, 2) << server;
        EXPECT_EQ(result.out, "") << server;
        EXPECT_EQ(result.err.rfind("tagvista-cli: (local)|" + server + ": CoGetClassObject() Failed: ", 0), 0u)
            << result.err;
        EXPECT_EQ(result.errLines().size(), 1u) << result.err;
    }

    // Connected, but without a browse interface: the connection's text, and the server let go.
    const std::string noBrowse = progIdOf(Fault::NoBrowse);
    const Result result = run({"--log-level", "2", "browse", noBrowse});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("tagvista-cli: (local)|" + noBrowse + ": QueryInterface(IID_IOPCBrowseServerAddressSpace) Failed"),
              std::string::npos)
        << result.err;

    // A remote computer fails at its walk.
    const Result remote = run({"browse", "--host", "plant-17", kGood});
    EXPECT_EQ(remote.exitCode, 2);
    EXPECT_EQ(remote.err.rfind("tagvista-cli: plant-17: RegConnectRegistry() Failed: ", 0), 0u) << remote.err;
}

// --- watch -----------------------------------------------------------------------------------

TEST(WatchCommand, PrintsTheFourTextsOfEveryValueForTheTimeAsked)
{
    const Result result = run({"--log-level", "6", "watch", "--seconds", "1", kGood});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    expectCleanDisconnect(result, kGood);

    std::set<std::string> paths;
    std::vector<long> counts;
    for (const std::vector<std::string>& row : textRows(result)) {
        ASSERT_EQ(row.size(), 5u);
        paths.insert(row[0]);
        EXPECT_EQ(row[4], "GOOD") << row[0];
        if (row[0] == "a") {
            EXPECT_EQ(row[1], "VT_I4");
            counts.push_back(std::stol(row[2]));
        } else if (row[0] == "b") {
            EXPECT_EQ(row[1], "VT_BSTR");
            EXPECT_EQ(row[2], "Tagvista");
        } else if (row[0] == "X/Y/y1") {
            EXPECT_EQ(row[1], "VT_I2");
            EXPECT_EQ(row[2], "42");
        } else if (row[0] == "X/x1") {
            EXPECT_EQ(row[1], "VT_R8");
        }
    }
    EXPECT_EQ(paths, kTestPaths) << "every item's first value arrives";
    EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end())) << "a counts up, in the order delivered";
}

TEST(WatchCommand, BranchKeepsTheItemsBelowIt)
{
    for (const auto& [branch, expected] :
         {std::pair<std::string, std::set<std::string>>{"X", {"X/Y/y1", "X/x1", "X/x2"}},
          std::pair<std::string, std::set<std::string>>{"X/Y/", {"X/Y/y1"}}}) {
        const Result result = run({"watch", "--seconds", "0.5", "--branch", branch, kGood});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        std::set<std::string> paths;
        for (const std::vector<std::string>& row : textRows(result)) paths.insert(row[0]);
        EXPECT_EQ(paths, expected) << branch;
    }

    const Result unknown = run({"watch", "--seconds", "0.5", "--branch", "Q", kGood});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err, "tagvista-cli: no branch \"Q\" in the address space of " + kGood + "\n");
}

TEST(WatchCommand, ChangesFasterThanTheOutputAreSupersededAndCounted)
{
    // 100,000 items changing every 10 ms offer far more changes than lines can be printed (the
    // server delivers about a million a second; a fast computer prints a few hundred thousand
    // lines a second, so 20,000 items were once too few): each line shows its item's latest
    // value, and the end says how many changes that left out.
    Environment environment;
    environment.setUserDword("Software\\Tagvista\\Scale", "Branches", 100);
    environment.setUserDword("Software\\Tagvista\\Scale", "ItemsPerBranch", 1000);
    environment.setUserDword("Software\\Tagvista\\Scale", "UpdateRate", 10);
    const Result result = run({"--log-level", "5", "watch", "--seconds", "3", "Tagvista.Scale.1"}, environment);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    const std::size_t lines = result.outLines().size();
    const std::regex summary("tagvista-cli: ([0-9]+) of ([0-9]+) changes were superseded by a later value of their "
                             "item before they were printed");
    std::smatch match;
    std::string last;
    int progress = 0;
    for (const std::string& line : result.errLines()) {
        if (line.find("values printed") != std::string::npos) ++progress;
        if (std::regex_match(line, match, summary)) last = line;
    }
    ASSERT_FALSE(last.empty()) << result.err.substr(0, 2000);
    std::regex_match(last, match, summary);
    const unsigned long long superseded = std::stoull(match[1]);
    const unsigned long long offered = std::stoull(match[2]);
    EXPECT_GT(superseded, 0u);
    EXPECT_EQ(offered - superseded, lines) << "every change is printed or counted, never both";
    EXPECT_GE(progress, 2) << "a progress line a second at level 5";
}

TEST(WatchCommand, CsvAndJsonLinesParse)
{
    // The simulation server's static strings hold a comma and Cyrillic text.
    const std::string cyrillic = "Simulation/Static/CyrillicString";
    const Result csv = run({"watch", "--seconds", "0.5", "--format", "csv", "--branch", "Simulation/Static",
                            "Tagvista.Simulation.1"});
    EXPECT_EQ(csv.exitCode, 0) << csv.err;
    const auto records = parseCsv(csv.out);
    ASSERT_TRUE(records) << csv.out;
    ASSERT_GT(records->size(), 1u);
    EXPECT_EQ(records->front(), (std::vector<std::string>{"path", "type", "value", "time", "quality"}));
    bool seen = false;
    for (std::size_t i = 1; i < records->size(); ++i) {
        const std::vector<std::string>& record = (*records)[i];
        ASSERT_EQ(record.size(), 5u);
        EXPECT_EQ(record[0].rfind("Simulation/Static/", 0), 0u) << record[0];
        if (record[0] == cyrillic) {
            seen = true;
            EXPECT_EQ(record[1], "VT_BSTR");
            EXPECT_EQ(record[2], "Привет, мир");
        }
    }
    EXPECT_TRUE(seen) << csv.out;

    // Names outside the BMP pass as UTF-8; unpaired surrogates arrive replaced, still valid JSON.
    const Result json = run({"watch", "--seconds", "0.5", "--format", "json", progIdOf(Fault::NonBmpNames)});
    EXPECT_EQ(json.exitCode, 0) << json.err;
    std::set<std::string> paths;
    for (const std::string& line : json.outLines()) {
        const auto object = parseJsonObject(line);
        ASSERT_TRUE(object) << line;
        ASSERT_EQ(object->size(), 5u) << line;
        for (const char* key : {"path", "type", "value", "time", "quality"}) EXPECT_EQ(object->count(key), 1u) << key;
        paths.insert(object->at("path"));
        if (object->at("path") == "b") {
            EXPECT_EQ(object->at("value"), "Tagvista");
        }
    }
    EXPECT_TRUE(paths.contains("Smile\xF0\x9F\x98\x80")) << json.out;
    EXPECT_TRUE(paths.contains("Music\xF0\x9D\x84\x9E/Clef\xF0\x9D\x84\x9E")) << json.out;
    EXPECT_TRUE(std::includes(paths.begin(), paths.end(), kTestPaths.begin(), kTestPaths.end()));
}

TEST(WatchCommand, StopRequestEndsWithACleanDisconnect)
{
    for (const StopRequest& request : stopRequests()) {
        Child child({"--log-level", "6", "watch", kGood}, Environment());
        // Values flow before the request, each line as soon as it is made.
        ASSERT_TRUE(child.readUntil([](const std::string& out, const std::string&) {
            return std::count(out.begin(), out.end(), '\n') >= 6;
        }));
        ASSERT_TRUE(child.stop(request)) << request.name;
        const Result result = child.finish();
        EXPECT_EQ(result.exitCode, 0) << request.name << "\n" << result.err;
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.out.back(), '\n') << "no line is cut";
        expectCleanDisconnect(result, kGood);
    }
}

TEST(WatchCommand, StopWhileConnectingWaitsForTheServerThenLetsItGo)
{
    const std::string hang = progIdOf(Fault::HangCreate);
    Environment environment;
    environment.setHangMilliseconds(1000);
    Child child({"--log-level", "6", "watch", hang}, environment);
    ASSERT_TRUE(child.readUntil([&](const std::string&, const std::string& err) {
        return err.find(hang + ": innerConnect()") != std::string::npos;
    }));
    ASSERT_TRUE(child.stop(interruptRequest()));
    const Result result = child.finish();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    // The disconnect was kept until the connect had ended, then carried out.
    EXPECT_NE(result.err.find(hang + ": onConnect()"), std::string::npos) << result.err;
    EXPECT_EQ(count(result.err, hang + ": innerDisconnect()"), 1) << result.err;
}

TEST(WatchCommand, SecondStopRequestEndsAtOnce)
{
    // The server hangs in its creation far longer than this test waits for anything.
    const std::string hang = progIdOf(Fault::HangCreate);
    Environment environment;
    environment.setHangMilliseconds(600'000);
    Child child({"--log-level", "6", "watch", hang}, environment);
    ASSERT_TRUE(child.readUntil([&](const std::string&, const std::string& err) {
        return err.find(hang + ": innerConnect()") != std::string::npos;
    }));
    ASSERT_TRUE(child.stop(interruptRequest()));
    // Requests of one kind that wait together may count once: the second goes after the first
    // was taken.
    ASSERT_TRUE(child.readUntil([&](const std::string&, const std::string& err) {
        return err.find(hang + ": disconnect()") != std::string::npos;
    }));
    ASSERT_TRUE(child.stop(interruptRequest()));
    const Result result = child.finish();
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 130);
    EXPECT_NE(result.err.find("tagvista-cli: stopped without waiting for the server"), std::string::npos) << result.err;
}

TEST(WatchCommand, ReaderGoneEndsWithACleanDisconnect)
{
    Child child({"--log-level", "6", "watch", kGood}, Environment());
    ASSERT_TRUE(child.readUntil([](const std::string& out, const std::string&) { return !out.empty(); }));
    child.closeOut();
    const Result result = child.finish();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_FALSE(result.timedOut);
    expectCleanDisconnect(result, kGood);
}

TEST(WatchCommand, FailuresExitWithTwo)
{
    const Result unknown = run({"watch", "--seconds", "1", "Tagvista.Test.Nothing"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_EQ(unknown.err, "tagvista-cli: no OPC server \"Tagvista.Test.Nothing\" on (local)\n");

    const std::string advise = progIdOf(Fault::AdviseFails);
    const Result failed = run({"--log-level", "6", "watch", "--seconds", "1", advise});
    EXPECT_EQ(failed.exitCode, 2);
    EXPECT_EQ(failed.out, "");
    EXPECT_NE(failed.err.find("tagvista-cli: (local)|" + advise + ": "), std::string::npos) << failed.err;
    EXPECT_EQ(count(failed.err, advise + ": innerDisconnect()"), 1) << "a connected server is let go";

    const Result remote = run({"watch", "--host", "plant-17", "--seconds", "1", kGood});
    EXPECT_EQ(remote.exitCode, 2);
    EXPECT_EQ(remote.err.rfind("tagvista-cli: plant-17: RegConnectRegistry() Failed: ", 0), 0u) << remote.err;
}

TEST(WatchCommand, ServerThatGoesOrShutsDownEndsTheWatchWithTwoAndTheReason)
{
    // No --seconds: only the server's end ends these watches. The values printed before stay
    // printed; the last line on standard error says why they are not live any more.
    Environment environment;
    environment.setHangMilliseconds(500);
    const std::string gone = progIdOf(Fault::Gone);
    const Result lost = run({"watch", gone}, environment);
    EXPECT_FALSE(lost.timedOut);
    EXPECT_EQ(lost.exitCode, 2) << lost.err;
    EXPECT_FALSE(lost.out.empty());
    EXPECT_EQ(lost.err.rfind("tagvista-cli: (local)|" + gone + ": GetStatus() Failed: ", 0), 0u) << lost.err;

    const std::string shutdown = progIdOf(Fault::ShutdownRequest);
    const Result ended = run({"watch", shutdown}, environment);
    EXPECT_FALSE(ended.timedOut);
    EXPECT_EQ(ended.exitCode, 2) << ended.err;
    EXPECT_EQ(ended.err, "tagvista-cli: (local)|" + shutdown + ": the server shut down: Сервер остановлен оператором\n");
}

// --- the command line ------------------------------------------------------------------------

TEST(CommandLine, BadUsageExitsWithOneAndSaysWhy)
{
    struct Case {
        std::vector<std::string> args;
        std::string said;
    };
    for (const Case& c : {Case{{"frobnicate"}, "unknown command \"frobnicate\""},
                          Case{{}, "Usage:"},
                          Case{{"watch", "--seconds", "abc", kGood}, "--seconds"},
                          Case{{"watch", "--seconds", "-1", kGood}, "--seconds"},
                          Case{{"watch", "--seconds", "nan", kGood}, "--seconds"},
                          Case{{"watch", "--format", "xml", kGood}, "--format"},
                          Case{{"watch", "--colour", kGood}, "--colour"},
                          Case{{"browse"}, "SERVER"},
                          Case{{"--log-level", "x", "servers"}, "--log-level"},
                          Case{{"servers", "--log-level", "8"}, "--log-level"}}) {
        const Result result = run(c.args);
        std::string shown;
        for (const std::string& arg : c.args) shown += arg + " ";
        EXPECT_EQ(result.exitCode, 1) << shown << "\n" << result.err;
        EXPECT_EQ(result.out, "") << shown;
        EXPECT_NE(result.err.find(c.said), std::string::npos) << shown << "\n" << result.err;
    }
}

TEST(CommandLine, HelpForEveryCommand)
{
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--help"}, {"servers", "--help"}, {"browse", "--help"}, {"watch", "--help"}}) {
        const Result result = run(args);
        EXPECT_EQ(result.exitCode, 0) << args[0];
        EXPECT_NE(result.out.find("Usage: tagvista-cli"), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("--log-level"), std::string::npos) << result.out;
        EXPECT_EQ(result.out.find('\r'), std::string::npos) << "lines end in LF on every system";
    }
    EXPECT_NE(run({"watch", "--help"}).out.find("--format"), std::string::npos);
}

TEST(CommandLine, VersionIsTheProjects)
{
    const Result result = run({"--version"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "tagvista-cli " TAGVISTA_VERSION_TEXT "\n");
    EXPECT_EQ(result.err, "");
}
