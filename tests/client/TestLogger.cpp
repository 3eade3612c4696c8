#include "ClientTestSupport.h"
#include "client/Logger.h"
#include "platform/Files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

namespace {

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// Points the logger at a fresh file and a console file of its own, and restores it afterwards.
class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        _folder = std::make_unique<clienttest::TempDir>();
        _dir = _folder->str();
        _file = *_folder / "test.log";
        _consoleFile = *_folder / "console.txt";
        // A new file, so appending writes it from the start.
        _consoleFd = platform::openForAppend(_consoleFile);
        ASSERT_GE(_consoleFd, 0);
        auto& logger = logg::Logger::instance();
        _oldLevel = logger.level();
        logger.setFileName(_file);
        logger.setConsole(_consoleFd);
        logger.setLevel(7);
    }
    void TearDown() override
    {
        auto& logger = logg::Logger::instance();
        logger.setConsole(-1);
        logger.setFileName("");
        logger.setLevel(_oldLevel);
        platform::closeDescriptor(_consoleFd);
        _folder.reset();
    }

    std::unique_ptr<clienttest::TempDir> _folder;
    std::string _dir, _file, _consoleFile;
    int _consoleFd = -1;
    int _oldLevel = 0;
};

const std::regex kTimeStamp("^\\d\\d:\\d\\d:\\d\\d:\\d\\d\\d\\t");

} // namespace

TEST_F(LoggerTest, WritesTimeStampedLineToFileAndConsole)
{
    LOGG(7, "%d servers left", 3);
    const std::string file = readFile(_file);
    EXPECT_TRUE(std::regex_match(file, std::regex("\\d\\d:\\d\\d:\\d\\d:\\d\\d\\d\\t3 servers left\\n")));
    EXPECT_EQ(readFile(_consoleFile), file);
}

TEST_F(LoggerTest, ThresholdDecidesWhatIsWritten)
{
    logg::Logger::instance().setLevel(6);
    int evaluated = 0;
    LOGG(7, "level seven %d", ++evaluated);
    LOGG(6, "level six");
    EXPECT_EQ(evaluated, 0) << "arguments of a suppressed message must not be evaluated";
    const auto written = lines(readFile(_file));
    ASSERT_EQ(written.size(), 1u);
    EXPECT_NE(written[0].find("level six"), std::string::npos);

    logg::Logger::instance().setLevel(0);
    std::remove(_file.c_str());
    LOGG(2, "failure");
    EXPECT_FALSE(std::ifstream(_file).good()) << "threshold 0 creates no log file";
}

TEST_F(LoggerTest, ReadyTextWithPerCentSignIsWrittenUnchanged)
{
    const std::string ready = "Disk 100% full %s %d %n";
    logg::Logger::instance().print("%s", ready.c_str());
    const auto written = lines(readFile(_file));
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].substr(13), ready);
}

TEST_F(LoggerTest, LongMessageIsWrittenWhole)
{
    const std::string longText(10000, 'x');
    LOGG(2, "[%s]", longText.c_str());
    const auto written = lines(readFile(_file));
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].substr(13), "[" + longText + "]");
}

TEST_F(LoggerTest, DeletedFileIsCreatedAnew)
{
    LOGG(7, "first");
    ASSERT_EQ(std::remove(_file.c_str()), 0);
    LOGG(7, "second");
    const auto written = lines(readFile(_file));
    ASSERT_EQ(written.size(), 1u);
    EXPECT_NE(written[0].find("second"), std::string::npos);
}

TEST_F(LoggerTest, UnwritableFileStillReachesConsole)
{
    logg::Logger::instance().setFileName(_dir + "/no/such/dir/x.log");
    LOGG(7, "console only");
    EXPECT_NE(readFile(_consoleFile).find("console only"), std::string::npos);
}

TEST_F(LoggerTest, LinesFromTwoThreadsStayWholeAndInTheSameOrder)
{
    constexpr int kLines = 500;
    auto writer = [](char tag) {
        for (int i = 0; i < kLines; ++i) LOGG(7, "%c-%04d-%s", tag, i, std::string(100, tag).c_str());
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    a.join();
    b.join();

    const auto fileLines = lines(readFile(_file));
    const auto consoleLines = lines(readFile(_consoleFile));
    ASSERT_EQ(fileLines.size(), 2u * kLines);
    EXPECT_EQ(fileLines, consoleLines);
    int next[2] = {0, 0};
    for (const auto& line : fileLines) {
        ASSERT_TRUE(std::regex_search(line, kTimeStamp)) << line;
        const std::string message = line.substr(13);
        ASSERT_EQ(message.size(), 2u + 4u + 1u + 100u) << message;
        const char tag = message[0];
        ASSERT_TRUE(tag == 'a' || tag == 'b');
        char expected[16];
        std::snprintf(expected, sizeof expected, "%c-%04d-", tag, next[tag - 'a']++);
        EXPECT_EQ(message, expected + std::string(100, tag));
    }
}
