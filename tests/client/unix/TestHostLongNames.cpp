// Key names longer than the walk's buffer. Windows refuses a key name of more than 255
// characters, so only the Linux registry files can hold one.
#include "ClientTestSupport.h"
#include "HostTestSupport.h"

#include <gtest/gtest.h>

using namespace clienttest;

TEST(HostWalk, OverlongKeyNameDoesNotHideLaterServers)
{
    TempDir classes;
    classes.write("long.reg", "Windows Registry Editor Version 5.00\n\n[HKEY_CLASSES_ROOT\\A" + std::string(300, 'x') +
                                  "]\n@=\"x\"\n" + server("B.Server", std::string("\"") + kGuidA + "\""));
    Registry registry(classes.str());
    Window window;
    Walk walk(window, "(local)");
    EXPECT_EQ(walk.names(), std::vector<std::string>{"B.Server"});
}
