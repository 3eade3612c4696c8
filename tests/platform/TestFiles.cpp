// Files by descriptor, as the log writer uses them: appending, bytes kept as they are.
#include "platform/Files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace {

class Files : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Other test runs may use the same folder at the same time.
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string name =
            "tagvista-files-" + std::string(test->name()) + "-" + std::to_string(std::random_device()()) + ".log";
        _path = (std::filesystem::temp_directory_path() / name).string();
        std::filesystem::remove(_path);
    }
    void TearDown() override { std::filesystem::remove(_path); }

    std::string contents() const
    {
        std::ifstream in(_path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    void append(const std::string& text) const
    {
        const int fd = platform::openForAppend(_path);
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(platform::isOpenDescriptor(fd));
        EXPECT_TRUE(platform::writeAll(fd, text.data(), text.size()));
        platform::closeDescriptor(fd);
    }

    std::string _path;
};

TEST_F(Files, AppendingCreatesThenExtendsAndKeepsLineEnds)
{
    append("first\n");
    append("second\r\nthird\n");
    // One line feed stays one byte: no carriage return is added on any system.
    EXPECT_EQ(contents(), "first\nsecond\r\nthird\n");
}

TEST_F(Files, LargeWritesArriveWhole)
{
    std::string block(3 << 20, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + 1);
    append(block);
    append("end");
    EXPECT_EQ(contents(), block + "end");
}

TEST_F(Files, DeleteAndFailures)
{
    append("x");
    EXPECT_TRUE(platform::deleteFile(_path));
    EXPECT_FALSE(std::filesystem::exists(_path));
    EXPECT_FALSE(platform::deleteFile(_path));

    const auto missingFolder = std::filesystem::path(_path).parent_path() / "tagvista-no-such-folder" / "x.log";
    EXPECT_EQ(platform::openForAppend(missingFolder.string()), -1);
    EXPECT_FALSE(platform::isOpenDescriptor(-1));
}

} // namespace
