// The classes root of the Linux layer as tagvista-cli sees it: the .reg files of the folders that
// TAGVISTA_CLASSES_PATH names, in both of their formats, and what the registry skips in them and
// in the user file, logged at level 2.
#include "CliTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

using namespace clitest;

TEST(ServersCommand, ListsNameAndClassOfEveryRegistration)
{
    TempDir classes;
    const auto server = [](const std::string& key, const std::string& clsid, bool marker) {
        std::string text = "[HKEY_CLASSES_ROOT\\" + key + "\\CLSID]\n@=\"" + clsid + "\"\n";
        if (marker) text += "[HKEY_CLASSES_ROOT\\" + key + "\\OPC]\n";
        return text;
    };
    classes.write("several.reg", "Windows Registry Editor Version 5.00\n\n" +
                                     server("Zeta.Server.1", "{11111111-2222-3333-4444-555555555555}", true) +
                                     server("alpha.Server", "{aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee}", true) +
                                     server("NoMarker.Class", "{22222222-2222-3333-4444-555555555555}", false) +
                                     server("Broken.Server", "not a class", true));
    classes.write("more.reg", "REGEDIT4\n\n" + server("Mid.Server", "{33333333-2222-3333-4444-555555555555}", true));
    Environment environment;
    environment.classesPath = classes.str();

    const Result result = run({"servers"}, environment);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    // In the registry's order of key names, the identifiers in their braced upper-case form.
    EXPECT_EQ(result.outLines(), (std::vector<std::string>{"alpha.Server\t{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}",
                                                           "Mid.Server\t{33333333-2222-3333-4444-555555555555}",
                                                           "Zeta.Server.1\t{11111111-2222-3333-4444-555555555555}"}));

    // The same with the host named, and nothing at all for an empty classes root.
    EXPECT_EQ(run({"servers", "(local)"}, environment).out, result.out);
    environment.classesPath = (classes / "none");
    const Result empty = run({"servers"}, environment);
    EXPECT_EQ(empty.exitCode, 0);
    EXPECT_EQ(empty.out, "");
}

TEST(ServersCommand, RegistryProblemsAreLoggedAtLevelTwo)
{
    TempDir classes;
    classes.write("good.reg", "REGEDIT4\n"
                              "[HKEY_CLASSES_ROOT\\Good.Server\\OPC]\n"
                              "[HKEY_CLASSES_ROOT\\Good.Server\\CLSID]\n"
                              "@=\"{44444444-2222-3333-4444-555555555555}\"\n");
    classes.write("bad.reg", "REGEDIT4\n[HKEY_CLASSES_ROOT\\Bad]\nnot a line of a registry file\n");
    Environment environment;
    environment.classesPath = classes.str();
    // A FIFO as the user file is skipped like any file that cannot be read, never waited for.
    const std::string userFile = environment.home / "config/tagvista/user.reg";
    std::filesystem::create_directories(environment.home / "config/tagvista");
    ASSERT_EQ(::mkfifo(userFile.c_str(), 0600), 0);

    const Result logged = run({"--log-level", "2", "servers"}, environment);
    EXPECT_FALSE(logged.timedOut);
    EXPECT_EQ(logged.exitCode, 0) << logged.err;
    EXPECT_EQ(logged.outLines(), std::vector<std::string>{"Good.Server\t{44444444-2222-3333-4444-555555555555}"});
    EXPECT_NE(logged.err.find(classes / "bad.reg" + ":3: unrecognised line\n"), std::string::npos) << logged.err;
    EXPECT_NE(logged.err.find(userFile + ": cannot read the file: not a regular file"), std::string::npos)
        << logged.err;

    // Below level 2 the log stays silent.
    const Result quiet = run({"servers"}, environment);
    EXPECT_EQ(quiet.exitCode, 0);
    EXPECT_EQ(quiet.err, "");
}
