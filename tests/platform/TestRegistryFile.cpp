// The .reg reader and writer on their own: both format versions and encodings, every value
// form, deletions, and every kind of malformed input.

#include "TestRegistrySupport.h"

#include "platform/RegFile.h"
#include "platform/RegTree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

using namespace platform;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

class Parsed {
public:
    explicit Parsed(std::string_view bytes, regfile::Root root = regfile::Root::classes) { add(bytes, root); }

    void add(std::string_view bytes, regfile::Root root = regfile::Root::classes)
    {
        taken = regfile::apply(bytes, "test.reg", root, _root, _origin, diagnostics);
        _root.reindexTree();
    }

    regtree::Key* key(std::string_view path)
    {
        regtree::Key* key = &_root;
        if (path.empty())
            return key;
        std::size_t start = 0;
        for (;;) {
            std::size_t end = path.find('\\', start);
            key = key->child(regtree::foldName(regfile::toUtf16(path.substr(start, end - start))));
            if (key == nullptr || end == std::string_view::npos)
                return key;
            start = end + 1;
        }
    }

    const regtree::Value* value(std::string_view path, std::string_view name)
    {
        regtree::Key* k = key(path);
        return k ? k->value(regtree::foldName(regfile::toUtf16(name))) : nullptr;
    }

    // A REG_SZ-like value as UTF-8 text without its terminator.
    std::string text(std::string_view path, std::string_view name)
    {
        const regtree::Value* v = value(path, name);
        if (!v)
            return "<missing>";
        std::u16string units = regfile::fromUtf16Bytes(v->data);
        if (units.empty() || units.back() != u'\0')
            return "<unterminated>";
        units.pop_back();
        return regfile::toUtf8(units);
    }

    std::vector<std::string> childNames(std::string_view path)
    {
        std::vector<std::string> names;
        regtree::Key* k = key(path);
        for (std::size_t i = 0; k && i < k->childCount(); ++i)
            names.push_back(regfile::toUtf8(k->childAt(i)->name()));
        return names;
    }

    regtree::Key& root() { return _root; }
    std::vector<std::string> diagnostics;
    regfile::Taken taken = regfile::Taken::nothing; // of the last add

private:
    regtree::Key _root{u"", nullptr};
    std::shared_ptr<const std::string> _origin = std::make_shared<const std::string>("/origin");
};

std::vector<BYTE> bytes(std::initializer_list<int> list)
{
    std::vector<BYTE> out;
    for (int b : list)
        out.push_back(static_cast<BYTE>(b));
    return out;
}

std::vector<BYTE> utf16z(std::u16string_view text)
{
    std::u16string units(text);
    units.push_back(u'\0');
    return regfile::utf16Bytes(units);
}

std::string toUtf16File(const std::string& utf8, bool bigEndian = false, bool mark = true)
{
    std::string out;
    for (char16_t c : (mark ? u"\uFEFF" : u"") + regfile::toUtf16(utf8)) {
        const char low = static_cast<char>(c & 0xFF);
        const char high = static_cast<char>(c >> 8);
        out.append(bigEndian ? std::string{high, low} : std::string{low, high});
    }
    return out;
}


bool anyContains(const std::vector<std::string>& lines, const std::string& part)
{
    for (const std::string& line : lines) {
        if (line.find(part) != std::string::npos)
            return true;
    }
    return false;
}

const char* const versionFiveSample = "Windows Registry Editor Version 5.00\r\n"
                                      "\r\n"
                                      "; a comment\r\n"
                                      "[HKEY_CLASSES_ROOT\\Vendor.Server.1]\r\n"
                                      "@=\"Vendor \\\"Quoted\\\" Server\"\r\n"
                                      "\"Path\"=\"C:\\\\Program Files\\\\x.dll\"\r\n"
                                      "\"Back\\\\slash \\\"name\\\"\"=\"v\"\r\n"
                                      "\"Hand\"=\"C:\\dir\\x\" ; unescaped, as people type it\r\n"
                                      "\"Count\"=dword:0000001f\r\n"
                                      "\"Blob\"=hex:01,02,ff\r\n"
                                      "\"Expand\"=hex(2):25,00,58,00,25,00,00,00\r\n"
                                      "\"Multi\"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00\r\n"
                                      "\"Big\"=hex(b):01,00,00,00,00,00,00,80\r\n"
                                      "\"None\"=hex(0):\r\n"
                                      "\"Odd\"=hex(1234):0a\r\n"
                                      "\"Long\"=hex:00,01,02,03,\\\r\n"
                                      "    04,05,\\\r\n"
                                      "\t06\r\n"
                                      "\r\n"
                                      "[HKCR\\Vendor.Server.1\\OPC]\r\n"
                                      "\r\n"
                                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\vendor.server.1\\CLSID]\r\n"
                                      "@=\"{00000000-0000-0000-0000-000000000001}\"\r\n";

void expectVersionFiveSample(Parsed& p)
{
    EXPECT_TRUE(p.diagnostics.empty()) << ::testing::PrintToString(p.diagnostics);
    EXPECT_EQ(p.text("Vendor.Server.1", ""), "Vendor \"Quoted\" Server");
    EXPECT_EQ(p.text("Vendor.Server.1", "Path"), "C:\\Program Files\\x.dll");
    EXPECT_EQ(p.text("Vendor.Server.1", "Back\\slash \"name\""), "v");
    EXPECT_EQ(p.text("Vendor.Server.1", "Hand"), "C:\\dir\\x");
    const regtree::Value* count = p.value("Vendor.Server.1", "count");
    ASSERT_TRUE(count);
    EXPECT_EQ(count->type, REG_DWORD);
    EXPECT_EQ(count->data, bytes({0x1f, 0, 0, 0}));
    EXPECT_EQ(p.value("Vendor.Server.1", "Blob")->data, bytes({1, 2, 0xff}));
    EXPECT_EQ(p.value("Vendor.Server.1", "Blob")->type, REG_BINARY);
    EXPECT_EQ(p.value("Vendor.Server.1", "Expand")->type, REG_EXPAND_SZ);
    EXPECT_EQ(p.text("Vendor.Server.1", "Expand"), "%X%");
    EXPECT_EQ(p.value("Vendor.Server.1", "Multi")->type, REG_MULTI_SZ);
    EXPECT_EQ(p.value("Vendor.Server.1", "Multi")->data, regfile::utf16Bytes(std::u16string(u"a\0bc\0\0", 6)));
    EXPECT_EQ(p.value("Vendor.Server.1", "Big")->type, REG_QWORD);
    EXPECT_EQ(p.value("Vendor.Server.1", "Big")->data, bytes({1, 0, 0, 0, 0, 0, 0, 0x80}));
    EXPECT_EQ(p.value("Vendor.Server.1", "None")->type, REG_NONE);
    EXPECT_TRUE(p.value("Vendor.Server.1", "None")->data.empty());
    EXPECT_EQ(p.value("Vendor.Server.1", "Odd")->type, 0x1234u);
    EXPECT_EQ(p.value("Vendor.Server.1", "Long")->data, bytes({0, 1, 2, 3, 4, 5, 6}));
    // Three spellings of the same root and key name meet in one key.
    EXPECT_THAT(p.childNames("Vendor.Server.1"), ElementsAre("CLSID", "OPC"));
    EXPECT_EQ(p.text("VENDOR.SERVER.1\\clsid", ""), "{00000000-0000-0000-0000-000000000001}");
    EXPECT_EQ(*p.value("Vendor.Server.1", "Path")->origin, "/origin");
}

} // namespace

TEST(RegistryFile, ReadsEveryValueFormOfVersionFiveInUtf8)
{
    Parsed plain(versionFiveSample);
    expectVersionFiveSample(plain);
    Parsed withBom(std::string("\xEF\xBB\xBF") + versionFiveSample);
    expectVersionFiveSample(withBom);
}

TEST(RegistryFile, ReadsVersionFiveInUtf16WithBom)
{
    Parsed p(toUtf16File(versionFiveSample));
    expectVersionFiveSample(p);

    // The same from a file as the registry editor saves it, with text beyond the basic plane.
    const char* dataDir = std::getenv("TAGVISTA_TEST_DATA");
    ASSERT_TRUE(dataDir);
    Parsed saved(regtest::readFile(std::string(dataDir) + "/registry/utf16le.reg"));
    EXPECT_TRUE(saved.diagnostics.empty()) << ::testing::PrintToString(saved.diagnostics);
    EXPECT_EQ(saved.text("Sample.Server.1", ""), "Sample server \xE2\x80\x93 Gr\xC3\xBC\xC3\x9F"
                                                 "e \xF0\x9F\x98\x80");
    EXPECT_EQ(saved.value("Sample.Server.1\\OPC", "Vendor")->data, utf16z(u"Tagvista Ltd"));
    EXPECT_EQ(saved.value("CLSID\\{6B1F0C21-3B7E-4E55-9C1D-0B2D4A6F7E01}\\InprocServer32", "")->type,
              REG_EXPAND_SZ);
    EXPECT_EQ(saved.text("CLSID\\{6B1F0C21-3B7E-4E55-9C1D-0B2D4A6F7E01}\\InprocServer32", ""),
              "%HOME%/lib/sample.so");
}

TEST(RegistryFile, ReadsUtf16InEitherByteOrderWithOrWithoutMark)
{
    for (bool bigEndian : {false, true}) {
        for (bool mark : {true, false}) {
            SCOPED_TRACE(std::string(bigEndian ? "big" : "little") + "-endian, " + (mark ? "with" : "without") +
                         " byte-order mark");
            Parsed p(toUtf16File(versionFiveSample, bigEndian, mark));
            expectVersionFiveSample(p);
            EXPECT_EQ(p.taken, regfile::Taken::whole);
        }
    }
}

TEST(RegistryFile, OddLengthUtf16FileIgnoresTheLastByte)
{
    for (bool bigEndian : {false, true}) {
        std::string file = toUtf16File("Windows Registry Editor Version 5.00\n[HKCR\\K]\n\"a\"=\"b\"\n", bigEndian);
        file.push_back('\x41');
        Parsed p(file);
        EXPECT_EQ(p.text("K", "a"), "b");
        ASSERT_EQ(p.diagnostics.size(), 1u);
        EXPECT_THAT(p.diagnostics[0], HasSubstr("odd length"));
        EXPECT_EQ(p.taken, regfile::Taken::partly) << "the last byte is lost";
    }
}

TEST(RegistryFile, LinesEndInLfCrLfOrCrAlone)
{
    const std::string crLf = versionFiveSample;
    const std::string lf = regtest::replaceAll(crLf, "\r\n", "\n");
    const std::string cr = regtest::replaceAll(crLf, "\r\n", "\r");
    std::string mixed = lf;
    for (std::size_t at = mixed.find('\n'), n = 0; at != std::string::npos; at = mixed.find('\n', at + 1), ++n) {
        if (n % 3 == 1)
            mixed[at] = '\r';
        else if (n % 3 == 2)
            mixed.insert(at++, 1, '\r');
    }
    const std::pair<const char*, std::string> files[] = {
        {"CR LF", crLf}, {"LF", lf}, {"CR", cr}, {"mixed", mixed}, {"CR in UTF-16BE", toUtf16File(cr, true)}};
    for (const auto& [what, file] : files) {
        SCOPED_TRACE(what);
        Parsed p(file);
        expectVersionFiveSample(p);
    }

    // Lines are counted alike, a CR LF being one line end and CR CR two.
    Parsed p("REGEDIT4\r\r[HKCR\\K]\rgarbage\r\n\"a\"=\"b\"\n\rmore garbage\r\"c\"=hex:01,\\\r  02\r");
    EXPECT_EQ(p.text("K", "a"), "b");
    ASSERT_TRUE(p.value("K", "c"));
    EXPECT_EQ(p.value("K", "c")->data, bytes({1, 2}));
    ASSERT_EQ(p.diagnostics.size(), 2u);
    EXPECT_THAT(p.diagnostics[0], HasSubstr("test.reg:4: "));
    EXPECT_THAT(p.diagnostics[1], HasSubstr("test.reg:7: "));
}

TEST(RegistryFile, TellsHowMuchOfTheFileItTook)
{
    struct Case {
        std::string file;
        regfile::Taken taken;
    };
    const std::vector<Case> cases = {
        {versionFiveSample, regfile::Taken::whole},
        {"REGEDIT4\n\n; only a comment\n", regfile::Taken::whole},
        {"REGEDIT4\n[HKCR\\K]\ngarbage\n\"a\"=\"b\"\n", regfile::Taken::partly},
        {"REGEDIT4\n[HKCU\\Elsewhere]\n", regfile::Taken::partly},
        {"REGEDIT4\n[HKCR\\K]\n\"cut\"=hex:01,\\\n", regfile::Taken::partly},
        {"Windows Registry Editor Version 5.0\n[HKCR\\K]\n", regfile::Taken::nothing},
        {"", regfile::Taken::nothing},
    };
    for (const Case& c : cases) {
        Parsed p(c.file);
        EXPECT_EQ(p.taken, c.taken) << c.file;
        EXPECT_EQ(p.diagnostics.empty(), c.taken == regfile::Taken::whole) << c.file;
    }
}

TEST(RegistryFile, Regedit4TextTypesAreInTheCodePage)
{
    // "Grüße" in UTF-8, the code page here; the store keeps it as UTF-16 like any string.
    Parsed p("REGEDIT4\n"
             "[HKEY_CLASSES_ROOT\\K]\n"
             "\"Expand\"=hex(2):25,48,4f,4d,45,25,2f,47,72,c3,bc,c3,9f,65,00\n"
             "\"Multi\"=hex(7):61,00,62,63,00,00\n"
             "\"Plain\"=\"Gr\xC3\xBC\xC3\x9F" "e\"\n"
             "\"Bin\"=hex:61,00\n");
    EXPECT_TRUE(p.diagnostics.empty()) << ::testing::PrintToString(p.diagnostics);
    EXPECT_EQ(p.value("K", "Expand")->type, REG_EXPAND_SZ);
    EXPECT_EQ(p.value("K", "Expand")->data, utf16z(u"%HOME%/Gr\u00FC\u00DFe"));
    EXPECT_EQ(p.value("K", "Multi")->data, regfile::utf16Bytes(std::u16string(u"a\0bc\0\0", 6)));
    EXPECT_EQ(p.value("K", "Plain")->data, utf16z(u"Gr\u00FC\u00DFe"));
    // Binary data is not text and stays as written.
    EXPECT_EQ(p.value("K", "Bin")->data, bytes({0x61, 0}));
}

TEST(RegistryFile, DeletionsApplyToWhatWasReadBefore)
{
    Parsed p("Windows Registry Editor Version 5.00\n"
             "[HKCR\\Keep]\n\"a\"=\"1\"\n\"b\"=\"2\"\n"
             "[HKCR\\Gone\\Deep\\Deeper]\n\"x\"=\"1\"\n"
             "[HKCR\\Keep]\n\"b\"=-\n\"missing\"=-\n"
             "[-HKCR\\gone]\n"
             "\"orphan\"=\"value under a deleted key\"\n"
             "[-HKCR\\NeverWas\\Child]\n"
             "[HKCR\\Again]\n\"c\"=\"3\"\n");
    EXPECT_EQ(p.text("Keep", "a"), "1");
    EXPECT_EQ(p.value("Keep", "b"), nullptr);
    EXPECT_EQ(p.key("Gone"), nullptr);
    EXPECT_THAT(p.childNames(""), ElementsAre("Again", "Keep"));
    EXPECT_EQ(p.text("Again", "c"), "3");
    ASSERT_EQ(p.diagnostics.size(), 1u);
    EXPECT_THAT(p.diagnostics[0], HasSubstr("test.reg:11:"));

    // A later file deletes what an earlier one defined, and may define it again.
    p.add("Windows Registry Editor Version 5.00\n[-HKCR\\Keep]\n[HKCR\\Keep\\New]\n");
    EXPECT_EQ(p.value("Keep", "a"), nullptr);
    EXPECT_THAT(p.childNames("Keep"), ElementsAre("New"));
}

TEST(RegistryFile, MalformedLinesAreSkippedAndTheRestLoads)
{
    std::string file = "Windows Registry Editor Version 5.00\n"                // 1
                       "[HKCR\\Good]\n"                                         // 2
                       "this is garbage\n"                                      // 3
                       "\"nul\"=\"a\x01" "b\"\n"                                 // 4
                       "\"dw\"=dword:xyz\n"                                     // 5
                       "\"dw9\"=dword:123456789\n"                              // 6
                       "\"hx\"=hex:zz,01\n"                                     // 7
                       "\"dangling\"=\"no end\n"                                // 8
                       "\"unclosed name\n"                                      // 9
                       "\"noequals\" \"x\"\n"                                   // 10
                       "\"weird\"=word:1\n"                                     // 11
                       "\"tail\"=\"x\" junk\n"                                  // 12
                       "\"badtype\"=hex(zz):01\n"                               // 13
                       "\"ok\"=\"kept\"\n"                                      // 14
                       "[HKCR\\Unclosed\n"                                      // 15
                       "\"lost\"=\"must not land in Good\"\n"                   // 16
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n"                // 17
                       "\"lost2\"=\"outside the root\"\n"                       // 18
                       "[HKCR\\A\\\\B]\n"                                       // 19
                       "[HKCR\\Good]\n"                                         // 20
                       "\"after\"=dword:1 ; trailing comment\n";                // 21
    file[file.find('\x01')] = '\0';
    Parsed p(file);
    regtree::Key* good = p.key("Good");
    ASSERT_TRUE(good);
    ASSERT_EQ(good->valueCount(), 2u);
    EXPECT_EQ(p.text("Good", "ok"), "kept");
    EXPECT_EQ(p.value("Good", "after")->data, bytes({1, 0, 0, 0}));
    EXPECT_EQ(p.key("Unclosed"), nullptr);
    EXPECT_EQ(p.key("A"), nullptr);
    std::vector<std::string> lines;
    for (const std::string& d : p.diagnostics)
        lines.push_back(d.substr(0, d.find(':', 9)));
    EXPECT_THAT(lines, ElementsAre("test.reg:3", "test.reg:4", "test.reg:5", "test.reg:6", "test.reg:7",
                                   "test.reg:8", "test.reg:9", "test.reg:10", "test.reg:11", "test.reg:12",
                                   "test.reg:13", "test.reg:15", "test.reg:16", "test.reg:17", "test.reg:18",
                                   "test.reg:19"));
    EXPECT_TRUE(anyContains(p.diagnostics, "NUL"));
    EXPECT_TRUE(anyContains(p.diagnostics, "closing bracket"));
}

TEST(RegistryFile, FileWithoutKnownHeaderIsSkippedWhole)
{
    for (const char* file : {"REGEDIT5\n[HKCR\\K]\n\"a\"=\"b\"\n", "[HKCR\\K]\n\"a\"=\"b\"\n", "", "\n\n",
                             "\xFE\xFF\0W\0i\0n"}) {
        Parsed p(file);
        EXPECT_EQ(p.root().childCount(), 0u);
        ASSERT_EQ(p.diagnostics.size(), 1u) << file;
        EXPECT_THAT(p.diagnostics[0], HasSubstr("header"));
    }
    // Blank lines before the header are tolerated.
    Parsed p("\n  \nREGEDIT4\n[HKCR\\K]\n");
    EXPECT_TRUE(p.key("K"));
}

TEST(RegistryFile, HexContinuationCutShortLosesOnlyThatValue)
{
    Parsed p("Windows Registry Editor Version 5.00\n"
             "[HKCR\\K]\n"
             "\"cut\"=hex:01,02,\\\n"
             "[HKCR\\Next]\n"
             "\"a\"=\"b\"\n"
             "\"end\"=hex:01,\\\n");
    EXPECT_EQ(p.value("K", "cut"), nullptr);
    EXPECT_EQ(p.text("Next", "a"), "b");
    EXPECT_EQ(p.value("Next", "end"), nullptr);
    EXPECT_EQ(p.diagnostics.size(), 2u);
}

TEST(RegistryFile, HugeAndHostileInputLoadsWhatIsGood)
{
    const std::size_t big = 10u << 20;
    std::string file = "Windows Registry Editor Version 5.00\n[HKCR\\K]\n";
    file += std::string(big, 'x') + "\n";                       // a 10 MB garbage line
    file += "\"blob\"=hex:" + std::string(big / 3, ',') + "\n"; // 3 MB of empty hex tokens
    std::string huge;
    huge.reserve(big);
    for (std::size_t i = 0; i < big / 3; ++i)
        huge += "ab,";
    file += "\"huge\"=hex:" + huge + "cd\n";                   // a valid 10 MB value
    std::string deep = "[HKCR";
    for (int i = 0; i < 600; ++i)
        deep += "\\d";
    file += deep + "]\n\"x\"=\"y\"\n";                         // deeper than keys may nest
    file += "[HKCR\\" + std::string(100000, 'n') + "]\n\"long\"=\"name\"\n";
    file += "[HKCR\\K]\n\"ok\"=\"yes\"\n";
    for (int i = 0; i < 1000; ++i)
        file += "garbage\n";
    Parsed p(file);
    EXPECT_EQ(p.text("K", "ok"), "yes");
    ASSERT_TRUE(p.value("K", "huge"));
    EXPECT_EQ(p.value("K", "huge")->data.size(), big / 3 + 1);
    EXPECT_EQ(p.value("K", "blob"), nullptr);
    EXPECT_EQ(p.key("d"), nullptr);
    EXPECT_EQ(p.text(std::string(100000, 'N'), "long"), "name");
    // Diagnostics are bounded however much garbage there is.
    EXPECT_EQ(p.diagnostics.size(), regfile::maxDiagnosticsPerFile + 1);
    EXPECT_THAT(p.diagnostics.back(), HasSubstr("more problems"));
}

TEST(RegistryFile, SubkeysEnumerateInUpperCasedOrderKeepingTheirSpelling)
{
    Parsed p("Windows Registry Editor Version 5.00\n"
             "[HKCR\\Root\\_x]\n[HKCR\\Root\\Zed]\n[HKCR\\Root\\a_b]\n[HKCR\\Root\\AC]\n"
             "[HKCR\\Root\\ab]\n[HKCR\\Root\\a1]\n[HKCR\\Root\\A10]\n[HKCR\\Root\\AB\\sub]\n");
    // '_' sorts after the letters once names are upper-cased; the first spelling is kept.
    EXPECT_THAT(p.childNames("Root"), ElementsAre("a1", "A10", "ab", "AC", "a_b", "Zed", "_x"));
}

TEST(RegistryFile, UserFileAcceptsOnlyTheUserRoot)
{
    Parsed p("Windows Registry Editor Version 5.00\n"
             "[HKEY_CURRENT_USER\\Software\\Tagvista]\n\"a\"=\"1\"\n"
             "[HKCU\\Software\\Tagvista]\n\"b\"=\"2\"\n"
             "[HKEY_CLASSES_ROOT\\Foo]\n\"c\"=\"3\"\n",
             regfile::Root::currentUser);
    EXPECT_EQ(p.text("Software\\Tagvista", "a"), "1");
    EXPECT_EQ(p.text("Software\\Tagvista", "b"), "2");
    EXPECT_EQ(p.key("Foo"), nullptr);
    EXPECT_EQ(p.diagnostics.size(), 2u);
}

TEST(RegistryFile, WriterRoundTripsEveryTypeExactly)
{
    regtree::Key root(u"", nullptr);
    auto set = [](regtree::Key* key, std::u16string name, DWORD type, std::vector<BYTE> data) {
        key->setValue(regtree::Value{std::move(name), type, std::move(data), nullptr});
    };
    regtree::Key* k = root.ensureChild(u"Software")->ensureChild(u"Odd ]Name[ \"x\"");
    set(k, u"", REG_SZ, utf16z(u"default"));
    set(k, u"quote\"back\\slash", REG_SZ, utf16z(u"C:\\dir\\\"q\" \U0001F600"));
    set(k, u"newline", REG_SZ, utf16z(u"two\nlines"));
    set(k, u"unterminated", REG_SZ, regfile::utf16Bytes(u"abc"));
    set(k, u"oddLength", REG_SZ, bytes({0x41, 0, 0x42}));
    set(k, u"embeddedNul", REG_SZ, regfile::utf16Bytes(std::u16string(u"a\0b\0", 4)));
    set(k, u"loneSurrogate", REG_SZ, regfile::utf16Bytes(std::u16string(u"\xD800x\0", 3)));
    set(k, u"expand", REG_EXPAND_SZ, utf16z(u"%PATH%"));
    set(k, u"multi", REG_MULTI_SZ, regfile::utf16Bytes(std::u16string(u"a\0b\0\0", 5)));
    set(k, u"dword", REG_DWORD, bytes({1, 2, 3, 4}));
    set(k, u"shortDword", REG_DWORD, bytes({1, 2, 3}));
    set(k, u"bigEndian", REG_DWORD_BIG_ENDIAN, bytes({0, 0, 0, 1}));
    set(k, u"qword", REG_QWORD, bytes({1, 2, 3, 4, 5, 6, 7, 8}));
    set(k, u"binary", REG_BINARY, std::vector<BYTE>(300, 0xA5));
    set(k, u"emptyBinary", REG_BINARY, {});
    set(k, u"none", REG_NONE, bytes({9}));
    set(k, u"custom", 0xFFFFFFFF, bytes({7}));
    root.ensureChild(u"Empty")->ensureChild(u"Leaf");
    set(&root, u"atRoot", REG_SZ, utf16z(u"r"));
    root.reindexTree();

    std::string text = regfile::write(root, regfile::Root::currentUser);
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
    Parsed back(text, regfile::Root::currentUser);
    EXPECT_TRUE(back.diagnostics.empty()) << ::testing::PrintToString(back.diagnostics) << text;
    regtree::Key* k2 = back.key("Software\\Odd ]Name[ \"x\"");
    ASSERT_TRUE(k2) << text;
    ASSERT_EQ(k2->valueCount(), k->valueCount());
    for (std::size_t i = 0; i < k->valueCount(); ++i) {
        const regtree::Value* a = k->valueAt(i);
        const regtree::Value* b = k2->valueAt(i);
        EXPECT_EQ(a->name, b->name);
        EXPECT_EQ(a->type, b->type) << regfile::toUtf8(a->name);
        EXPECT_EQ(a->data, b->data) << regfile::toUtf8(a->name);
    }
    EXPECT_TRUE(back.key("Empty\\Leaf"));
    EXPECT_EQ(back.text("", "atRoot"), "r");
    // Plain strings stay readable in the file.
    EXPECT_THAT(text, HasSubstr("\"quote\\\"back\\\\slash\"=\"C:\\\\dir\\\\\\\"q\\\" \xF0\x9F\x98\x80\""));
    EXPECT_THAT(text, HasSubstr("\"dword\"=dword:04030201"));
    EXPECT_EQ(regfile::write(back.root(), regfile::Root::currentUser), text);
}

TEST(RegistryFile, Utf8ConversionReplacesMalformedInput)
{
    EXPECT_EQ(regfile::toUtf16("a\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80"), u"a\u00FC\u20AC\U0001F600");
    EXPECT_EQ(regfile::toUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");        // overlong
    EXPECT_EQ(regfile::toUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD"); // encoded surrogate
    EXPECT_EQ(regfile::toUtf16("\xE2\x82x"), u"\uFFFDx");             // truncated sequence
    EXPECT_EQ(regfile::toUtf16(std::string_view("a\0b", 3)), std::u16string(u"a\0b", 3));
    EXPECT_EQ(regfile::toUtf8(std::u16string(u"\xDC00z")), "\xEF\xBF\xBDz");
}
