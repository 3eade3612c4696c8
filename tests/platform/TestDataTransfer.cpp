// Registered clipboard formats and the release of storage media.
#include "TestCountingUnknown.h"
#include "platform/DataTransfer.h"
#include "platform/Text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using platform::testing::CountingUnknown;

TEST(ClipboardFormats, SameNameAnyCaseSameNumber)
{
    const UINT first = RegisterClipboardFormatA("OPCSTMFORMATDATATIME");
    EXPECT_GE(first, 0xC000u);
    EXPECT_EQ(RegisterClipboardFormatA("opcstmformatdatatime"), first);
    EXPECT_EQ(RegisterClipboardFormatW(u"OpcStmFormatDataTime"), first);

    // New names are numbered in the order they first appear.
    const UINT a = RegisterClipboardFormatA("Tagvista test format A");
    const UINT b = RegisterClipboardFormatA("Tagvista test format B");
    EXPECT_EQ(b, a + 1);
    EXPECT_NE(a, first);

    EXPECT_EQ(RegisterClipboardFormatA(""), 0u);
    EXPECT_EQ(RegisterClipboardFormatA(nullptr), 0u);
    EXPECT_EQ(RegisterClipboardFormatW(u""), 0u);
    EXPECT_EQ(RegisterClipboardFormatA(std::string(256, 'x').c_str()), 0u);
}

TEST(ClipboardFormats, NameQueryGivesTheFirstSpellingTruncated)
{
    const UINT format = RegisterClipboardFormatA("Tagvista Name Query");
    RegisterClipboardFormatA("TAGVISTA NAME QUERY");
    char name[64];
    EXPECT_EQ(GetClipboardFormatNameA(format, name, sizeof name), 19);
    EXPECT_STREQ(name, "Tagvista Name Query");
    EXPECT_EQ(GetClipboardFormatNameA(format, name, 5), 4);
    EXPECT_STREQ(name, "Tagv");
    EXPECT_EQ(GetClipboardFormatNameA(0xBFFF, name, sizeof name), 0);
    EXPECT_EQ(GetClipboardFormatNameA(0xFFFF, name, sizeof name), 0);
    EXPECT_EQ(GetClipboardFormatNameA(format, name, 0), 0);

    // Names outside ASCII pass through the wide form unchanged.
    const UINT wide = RegisterClipboardFormatW(u"Формат");
    ASSERT_NE(wide, 0u);
    ASSERT_GT(GetClipboardFormatNameA(wide, name, sizeof name), 0);
    EXPECT_EQ(platform::utf8ToUtf16(name), u"Формат");
}

TEST(ClipboardFormats, ThreadsRegisteringTheSameNamesAgree)
{
    constexpr int kThreads = 6;
    constexpr int kNames = 40;
    std::vector<std::vector<UINT>> seen(kThreads, std::vector<UINT>(kNames));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &seen] {
            // Each thread walks the names in its own order and spelling.
            for (int k = 0; k < kNames; ++k) {
                const int n = (k * 7 + t * 13) % kNames;
                std::string name = "Concurrent format " + std::to_string(n);
                if (t % 2) {
                    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                }
                seen[std::size_t(t)][std::size_t(n)] = RegisterClipboardFormatA(name.c_str());
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::set<UINT> distinct;
    for (int n = 0; n < kNames; ++n) {
        for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[std::size_t(t)][std::size_t(n)], seen[0][std::size_t(n)]);
        EXPECT_GE(seen[0][std::size_t(n)], 0xC000u);
        distinct.insert(seen[0][std::size_t(n)]);
    }
    EXPECT_EQ(distinct.size(), std::size_t(kNames));
}

TEST(ReleaseStgMedium, FreesGlobalMemoryUnlessAnOwnerIsNamed)
{
    STGMEDIUM medium{};
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = GlobalAlloc(GMEM_MOVEABLE, 32);
    ReleaseStgMedium(&medium); // the sanitizer build reports the block if it stays
    EXPECT_EQ(medium.tymed, TYMED_NULL);
    EXPECT_EQ(medium.hGlobal, nullptr);

    CountingUnknown owner;
    HGLOBAL kept = GlobalAlloc(GMEM_MOVEABLE, 32);
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = kept;
    medium.pUnkForRelease = &owner;
    owner.AddRef();
    ReleaseStgMedium(&medium);
    EXPECT_EQ(owner.refs, 1);
    EXPECT_EQ(medium.pUnkForRelease, nullptr);
    EXPECT_EQ(GlobalSize(kept), 32u); // the owner's to free
    GlobalFree(kept);

    ReleaseStgMedium(nullptr);
}

TEST(ReleaseStgMedium, StreamsAreReleasedAndFilesDeletedWithoutOwner)
{
    CountingUnknown stream;
    STGMEDIUM medium{};
    medium.tymed = TYMED_ISTREAM;
    medium.pstm = reinterpret_cast<IStream*>(static_cast<IUnknown*>(&stream));
    stream.AddRef();
    ReleaseStgMedium(&medium);
    EXPECT_EQ(stream.refs, 1);

    char path[] = "/tmp/tagvista-medium-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::u16string wide = platform::utf8ToUtf16(path);
    auto fileName = [&] {
        auto* name = static_cast<LPOLESTR>(CoTaskMemAlloc((wide.size() + 1) * sizeof(OLECHAR)));
        std::copy(wide.begin(), wide.end(), name);
        name[wide.size()] = 0;
        return name;
    };

    CountingUnknown owner;
    owner.AddRef();
    medium = STGMEDIUM{};
    medium.tymed = TYMED_FILE;
    medium.lpszFileName = fileName(); // freed in both cases
    medium.pUnkForRelease = &owner;
    ReleaseStgMedium(&medium);
    EXPECT_EQ(access(path, F_OK), 0);
    EXPECT_EQ(owner.refs, 1);

    medium = STGMEDIUM{};
    medium.tymed = TYMED_FILE;
    medium.lpszFileName = fileName();
    ReleaseStgMedium(&medium);
    EXPECT_NE(access(path, F_OK), 0);
}

} // namespace
