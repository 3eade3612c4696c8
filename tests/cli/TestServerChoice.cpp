// How a command line names a server among those the host listed.
#include "ServerChoice.h"

#include <gtest/gtest.h>

using cli::chooseServer;

namespace {

GUID guid(const char* text)
{
    GUID value{};
    EXPECT_TRUE(platform::guidFromString(text, value)) << text;
    return value;
}

const char* const kFirst = "{11111111-2222-3333-4444-555555555555}";
const char* const kSecond = "{AAAAAAAA-2222-3333-4444-555555555555}";

} // namespace

TEST(ServerChoice, ExactNameBeforeCaseBeforeClassIdentifier)
{
    const std::vector<Host::OpcServerInfo> listed{
        {"Acme.Server.1", guid(kFirst)}, {"acme.server.1", guid(kSecond)}, {"Other.Server", guid(kSecond)}};

    // An exact match wins over an earlier one that differs in case only.
    EXPECT_EQ(chooseServer(listed, "acme.server.1")->clsid, guid(kSecond));
    EXPECT_EQ(chooseServer(listed, "Acme.Server.1")->clsid, guid(kFirst));
    // Without an exact one, the first that differs in case only.
    const auto folded = chooseServer(listed, "ACME.SERVER.1");
    ASSERT_TRUE(folded);
    EXPECT_EQ(folded->name, "Acme.Server.1");

    // A class identifier, in either case, names the first server listed with it.
    const auto byClass = chooseServer(listed, "{aaaaaaaa-2222-3333-4444-555555555555}");
    ASSERT_TRUE(byClass);
    EXPECT_EQ(byClass->name, "acme.server.1");
}

TEST(ServerChoice, UnlistedClassIdentifierIsNamedByItsText)
{
    const std::string text = "{00000000-0000-0000-0000-0000000000AB}";
    const auto chosen = chooseServer({}, text);
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->name, text);
    EXPECT_EQ(chosen->clsid, guid(text.c_str()));
}

TEST(ServerChoice, AnythingElseNamesNothing)
{
    const std::vector<Host::OpcServerInfo> listed{{"Acme.Server.1", guid(kFirst)}};
    for (const char* text : {"", "Acme", "Acme.Server.1 ", "Acme.Server.2", "11111111-2222-3333-4444-555555555555",
                             "{11111111-2222-3333-4444-55555555555}", "Ácme.Server.1"})
        EXPECT_FALSE(chooseServer(listed, text)) << text;
}
