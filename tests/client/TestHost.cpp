#include "ClientTestSupport.h"
#include "HostTestSupport.h"
#include "client/ErrorString.h"
#include "client/Host.h"

#include <gtest/gtest.h>

using namespace clienttest;

TEST(HostWalk, ListsOnlyKeysWithMarkerAndParseableClassId)
{
    TempDir classes;
    classes.write("servers.reg", "Windows Registry Editor Version 5.00\n\n" + server("A.Server.1", std::string("\"") + kGuidA + "\"") +
                                     server("B.Other", "\"{00000000-0000-0000-0000-000000000001}\"", false) +
                                     server("C.Server", "") +
                                     server("D.Server", "hex(2):7b,00,31,00,31,00,31,00,31,00,31,00,31,00,31,00,31,00,2d,00,32,00,32,00,32,00,32,00,2d,00,33,00,33,00,33,00,33,00,2d,00,34,00,34,00,34,00,34,00,2d,00,35,00,35,00,35,00,35,00,35,00,35,00,35,00,35,00,35,00,35,00,35,00,35,00,7d,00,00,00") +
                                     server("E.Server", "\"not a guid\"") + server("F.Server", "dword:00000001"));
    Registry registry(classes.str());
    Window window;
    LogCapture log;
    Walk walk(window, "(local)");
    EXPECT_TRUE(walk.host->listed());
    EXPECT_EQ(walk.host->lastError(), "");
    ASSERT_EQ(walk.names(), std::vector<std::string>{"A.Server.1"});
    GUID expected;
    ASSERT_TRUE(platform::guidFromString(kGuidA, expected));
    EXPECT_EQ(walk.host->servers()[0].clsid, expected);
    EXPECT_TRUE(log.contains("(local): connect()"));
    EXPECT_TRUE(log.contains("(local): OPC-server found: A.Server.1"));
    EXPECT_EQ(log.count("OPC-server found"), 1);
}

TEST(HostWalk, ListsInEnumerationOrderAmongThousandsOfOtherKeys)
{
    TempDir classes;
    std::string text = "Windows Registry Editor Version 5.00\n\n";
    for (int i = 0; i < 10000; ++i) text += "[HKEY_CLASSES_ROOT\\.ext" + std::to_string(i) + "]\n@=\"file\"\n";
    // A versioned and a version-independent ProgID of one class: both listed, in name order.
    text += server("Zeta.Server.1", std::string("\"") + kGuidA + "\"");
    text += server("Zeta.Server", std::string("\"") + kGuidA + "\"");
    text += server("alpha.server", "\"{AAAAAAAA-2222-3333-4444-555555555555}\"");
    classes.write("many.reg", text);
    Registry registry(classes.str());
    Window window;
    Walk walk(window, "(local)");
    EXPECT_EQ(walk.names(), (std::vector<std::string>{"alpha.server", "Zeta.Server", "Zeta.Server.1"}));
    EXPECT_EQ(walk.host->servers()[1].clsid, walk.host->servers()[2].clsid);
}

TEST(HostWalk, EmptyRootListsNothing)
{
    TempDir classes;
    Registry registry(classes.str());
    Window window;
    Walk walk(window, "(local)");
    EXPECT_TRUE(walk.host->listed());
    EXPECT_TRUE(walk.host->servers().empty());
}

TEST(HostWalk, LocalOnlyWhenSpelledExactly)
{
    TempDir classes;
    classes.write("a.reg", "Windows Registry Editor Version 5.00\n\n" + server("A.Server.1", std::string("\"") + kGuidA + "\""));
    Registry registry(classes.str());
    Window window;
    LogCapture log;
    for (const char* name : {"(LOCAL)", "(local) ", "local", "no-such-host.invalid"}) {
        SCOPED_TRACE(name);
        Walk walk(window, name);
        EXPECT_FALSE(walk.host->listed());
        EXPECT_TRUE(walk.host->servers().empty());
        // On Linux another computer is asked through ssh (in the tests a stand-in that resolves no
        // name), whose words end the text.
        std::string cause = TAGVISTA_TEST_REMOTE_CAUSE;
        if (const std::size_t at = cause.find("%s"); at != std::string::npos) cause.replace(at, 2, name);
        const std::string expected =
            std::string(name) + ": RegConnectRegistry() Failed: " + ErrorString(ERROR_BAD_NETPATH).str() + cause;
        EXPECT_EQ(walk.host->lastError(), expected);
        EXPECT_TRUE(log.contains(expected));
    }
    // The empty name is this computer for the remote registry connection.
    Walk empty(window, "");
    EXPECT_TRUE(empty.host->listed());
    EXPECT_EQ(empty.names(), std::vector<std::string>{"A.Server.1"});
}

TEST(HostWalk, FailedWalkCanBeStartedAgain)
{
    TempDir classes;
    Registry registry(classes.str());
    Window window;
    Walk walk(window, "unreachable.invalid");
    ASSERT_FALSE(walk.host->lastError().empty());
    walk.host->startConnect();
    EXPECT_TRUE(walk.host->busy());
    ASSERT_TRUE(window.pumpUntil([&] { return window.count(WM_HOST_CONNECTED, walk.host.get()) == 2; }));
    EXPECT_FALSE(walk.host->lastError().empty());
    window.pumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(window.count(WM_HOST_CONNECTED, walk.host.get()), 2) << "one notification per walk";
}
