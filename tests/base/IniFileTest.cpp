#include "base/IniFile.h"
#include "base/Text.h"

#include <gtest/gtest.h>

using namespace kestrune;

namespace {

using Lines = std::vector<std::pair<std::string, std::string>>;

std::vector<std::string> Names(const TIniFile& file) {
    std::vector<std::string> names;
    for (const auto& section : file.Sections())
        names.push_back(section.Name);
    return names;
}

} // namespace

TEST(IniFileParse, ByteOrderMarkAndEveryKindOfLineEnd) {
    const std::string body = "[A]\rk1=1\nk2=2\r\nk3=3\n\r\r\n[B]\r\nk4=4";
    for (const std::string& bytes : {body, "\xEF\xBB\xBF" + body}) {
        const TIniFile file = TIniFile::Parse(bytes);
        ASSERT_EQ(Names(file), (std::vector<std::string>{"A", "B"}));
        EXPECT_EQ(file.Sections()[0].Lines, (Lines{{"k1", "1"}, {"k2", "2"}, {"k3", "3"}}));
        EXPECT_EQ(file.Sections()[1].Lines, (Lines{{"k4", "4"}})); // no final line end
    }
    // A mark anywhere but at the start is text, not skipped.
    const TIniFile late = TIniFile::Parse("[A]\n\xEF\xBB\xBFk=v\n");
    EXPECT_FALSE(late.Sections()[0].HasKey("k"));
}

TEST(IniFileParse, TrimsControlCharactersButNotTextAroundThem) {
    const TIniFile file = TIniFile::Parse("\t\x01[ \x1fSec\t ]\x1f \n"
                                          " \tKey\x02 = \x03 two  words\x04\t\n"
                                          "Name=caf\xC3\xA9\n" // a trailing UTF-8 letter is kept
                                          "Pass=a=b==c\n"
                                          "=no key\n"
                                          "Empty=\n");
    ASSERT_EQ(Names(file), (std::vector<std::string>{"Sec"}));
    EXPECT_EQ(file.Sections()[0].Lines, (Lines{{"Key", "two  words"},
                                               {"Name", "caf\xC3\xA9"},
                                               {"Pass", "a=b==c"},
                                               {"", "no key"},
                                               {"Empty", ""}}));
}

TEST(IniFileParse, CommentsKeylessLinesAndLinesOutsideSections) {
    const TIniFile file = TIniFile::Parse("Type=Proxy\n" // before any section: dropped
                                          "[S]\n"
                                          "; Type=Proxy\n"
                                          "  ;Host=1\n"
                                          "Type\n" // no "=", so no key
                                          "Port=;80\n"
                                          "[\n"
                                          "[x\n"
                                          "]=1\n");
    ASSERT_EQ(Names(file), (std::vector<std::string>{"S"}));
    const TIniSection& s = file.Sections()[0];
    EXPECT_FALSE(s.HasKey("Type"));
    EXPECT_FALSE(s.HasKey("Host"));
    EXPECT_EQ(s.Lines, (Lines{{"Port", ";80"}, {"]", "1"}}));
}

TEST(IniFileParse, EmptySectionNameStillEndsThePreviousSection) {
    const TIniFile file = TIniFile::Parse("[A]\nk=1\n[ ]\nk=2\n[]\nk=3\n");
    ASSERT_EQ(Names(file), (std::vector<std::string>{"A", ""}));
    EXPECT_EQ(file.Sections()[0].Lines, (Lines{{"k", "1"}}));
    EXPECT_EQ(file.Sections()[1].Lines, (Lines{{"k", "2"}, {"k", "3"}}));
}

TEST(IniFileParse, SectionsOfOneNameAsideFromCaseAreJoinedAtTheFirst) {
    const TIniFile file = TIniFile::Parse("[kestrune]\nTop=1\n"
                                          "[Office]\nHost=10.0.0.1\n"
                                          "[Mail]\nType=Mapper\n"
                                          "[OFFICE]\nhost=10.0.0.2\nPort=1080\n"
                                          "[Kestrune]\nTOP=2\n");
    // The first spelling stays, so a lower-case options section is still not
    // "Kestrune" to a caller that compares exactly.
    ASSERT_EQ(Names(file), (std::vector<std::string>{"kestrune", "Office", "Mail"}));
    const TIniSection& office = file.Sections()[1];
    EXPECT_EQ(office.Lines, (Lines{{"Host", "10.0.0.1"}, {"host", "10.0.0.2"}, {"Port", "1080"}}));
    EXPECT_EQ(office.Value("HOST", TIniOccurrence::First), "10.0.0.1");
    EXPECT_EQ(office.Value("HOST", TIniOccurrence::Last), "10.0.0.2");
    EXPECT_TRUE(office.HasKey("port"));
    EXPECT_FALSE(office.HasKey("Type"));
    EXPECT_EQ(office.Value("Type", TIniOccurrence::First), std::nullopt);
    EXPECT_EQ(office.ReadString("Type", "none", TIniOccurrence::First), "none");

    ASSERT_NE(file.FindSection("KESTRUNE"), nullptr);
    EXPECT_EQ(file.FindSection("KESTRUNE")->Name, "kestrune");
    EXPECT_EQ(file.FindSection("KESTRUNE")->ReadInteger("top", -1), 2);
    EXPECT_EQ(file.FindSection("Nowhere"), nullptr);
}

TEST(IniFileNumber, WholeNumbers) {
    struct Case {
        const char* Text;
        std::optional<int32_t> Decimal;
        std::optional<int32_t> Hex;
    };
    const std::optional<int32_t> none;
    const Case cases[] = {
        {"0", 0, 0},
        {"080", 80, 80},
        {"+5", 5, 5},
        {"-5", -5, -5},
        {"-0", 0, 0},
        {"000000000000000000001", 1, 1},
        {"2147483647", INT32_MAX, INT32_MAX},
        {"-2147483648", INT32_MIN, INT32_MIN},
        {"2147483648", none, none},
        {"-2147483649", none, none},
        {"99999999999999999999", none, none},
        {"0x1F", none, 31},
        {"0X1f", none, 31},
        {"-0x10", none, -16},
        {"0x7FFFFFFF", none, INT32_MAX},
        {"0x80000000", none, none},
        {"0xFFFFFFFF", none, none},
        {"0x", none, none},
        {"0xG", none, none},
        {"0x-1", none, none},
        {"$FF", none, none},
        {"", none, none},
        {"-", none, none},
        {"+-1", none, none},
        {" 5", none, none},
        {"5 ", none, none},
        {"1 2", none, none},
        {"1.0", none, none},
        {"1e3", none, none},
        {"12abc", none, none},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseWholeNumber(c.Text, TRadix::Decimal), c.Decimal) << '"' << c.Text << '"';
        EXPECT_EQ(ParseWholeNumber(c.Text, TRadix::DecimalOrHex), c.Hex) << '"' << c.Text << '"';
    }
}

TEST(IniFileNumber, OptionsIntegersTakeTheLastLineOrTheDefault) {
    const TIniFile file = TIniFile::Parse("[Kestrune]\n"
                                          "Top=5\nTop=0x20\n"
                                          "Left=7\nLeft=junk\n" // the last line counts, even if bad
                                          "Page=-1\n"
                                          "Run=\n");
    const TIniSection& options = file.Sections()[0];
    EXPECT_EQ(options.ReadInteger("top", 99), 32);
    EXPECT_EQ(options.ReadInteger("Left", 99), 99);
    EXPECT_EQ(options.ReadInteger("Page", 99), -1);
    EXPECT_EQ(options.ReadInteger("Run", 99), 99);
    EXPECT_EQ(options.ReadInteger("Tray", 1), 1);
}

TEST(IniFileWrite, GoldenBytesOfTheExampleFile) {
    // clang-format off
    const std::vector<std::pair<std::string, Lines>> example = {
        {"Kestrune", {{"Top", "120"}, {"Left", "300"}, {"Time", "hh:nn:ss.zzz"}, {"Run", "0"},
                      {"Hide", "0"}, {"Tray", "1"}, {"Confirm", "1"}, {"Minimize", "0"},
                      {"Page", "0"}}},
        {"Office", {{"Type", "Proxy"}, {"Host", "0.0.0.0"}, {"Port", "1080"}, {"User", ""},
                    {"Pass", ""}, {"Queue", "15"}, {"Limit", "0"}, {"Buffer", "64"},
                    {"Wait", "5"}, {"Five", "1"}, {"Four", "0"}, {"Enable", "1"}}},
        {"Mail", {{"Type", "Mapper"}, {"OwnHost", "0.0.0.0"}, {"OwnPort", "9000"},
                  {"MapHost", "10.0.0.5"}, {"MapPort", "9001"}, {"Queue", "15"}, {"Limit", "0"},
                  {"Buffer", "64"}, {"Wait", "5"}, {"TCP", "1"}, {"UDP", "0"}, {"Enable", "1"}}},
        {"Lan only", {{"Type", "Access"}, {"OwnHost", "0.0.0.0"}, {"OwnPort", "1080"},
                      {"RemHost", "192.168.1.7"}, {"RemPort", "0"}, {"Action", "Allow"},
                      {"Enable", "1"}}},
    };
    // clang-format on
    TIniFile file;
    for (const auto& [name, lines] : example) {
        TIniSection& section = file.AddSection(name);
        for (const auto& [key, value] : lines)
            section.Add(key, value);
    }

    const std::string golden = "\xEF\xBB\xBF"
                               "[Kestrune]\r\nTop=120\r\nLeft=300\r\nTime=hh:nn:ss.zzz\r\nRun=0\r\n"
                               "Hide=0\r\nTray=1\r\nConfirm=1\r\nMinimize=0\r\nPage=0\r\n\r\n"
                               "[Office]\r\nType=Proxy\r\nHost=0.0.0.0\r\nPort=1080\r\nUser=\r\n"
                               "Pass=\r\nQueue=15\r\nLimit=0\r\nBuffer=64\r\nWait=5\r\nFive=1\r\n"
                               "Four=0\r\nEnable=1\r\n\r\n"
                               "[Mail]\r\nType=Mapper\r\nOwnHost=0.0.0.0\r\nOwnPort=9000\r\n"
                               "MapHost=10.0.0.5\r\nMapPort=9001\r\nQueue=15\r\nLimit=0\r\n"
                               "Buffer=64\r\nWait=5\r\nTCP=1\r\nUDP=0\r\nEnable=1\r\n\r\n"
                               "[Lan only]\r\nType=Access\r\nOwnHost=0.0.0.0\r\nOwnPort=1080\r\n"
                               "RemHost=192.168.1.7\r\nRemPort=0\r\nAction=Allow\r\nEnable=1\r\n"
                               "\r\n";
    EXPECT_EQ(file.ToBytes(), golden);

    // What is written reads back as the same sections and lines.
    const TIniFile reread = TIniFile::Parse(golden);
    ASSERT_EQ(Names(reread), Names(file));
    for (std::size_t i = 0; i < file.Sections().size(); ++i)
        EXPECT_EQ(reread.Sections()[i].Lines, file.Sections()[i].Lines);
}

TEST(IniFileWrite, SectionsAreWrittenAsGivenAndTextCannotBreakLines) {
    TIniFile file;
    file.AddSection("Office").Add("Type", "Proxy");
    file.AddSection("office").Add("Type", "Mapper"); // entry names are exact: both kept
    file.AddSection("Evil\n[Kestrune]").Add("Pass", "a\r\n[Other]\r\nType=Proxy");
    file.AddSection("Empty");
    EXPECT_EQ(file.ToBytes(), "\xEF\xBB\xBF"
                              "[Office]\r\nType=Proxy\r\n\r\n"
                              "[office]\r\nType=Mapper\r\n\r\n"
                              "[Evil [Kestrune]]\r\nPass=a  [Other]  Type=Proxy\r\n\r\n"
                              "[Empty]\r\n\r\n");
    EXPECT_EQ(TIniFile().ToBytes(), "\xEF\xBB\xBF");
}

TEST(IniFileWrite, EveryValueReadsBackAsWritten) {
    // Blanks at either end survive in quotes; quotes of one's own stay put.
    const std::string values[] = {" secret", "secret ", " ",         "\t pass \t", "\"x\"", "\"",
                                  "\"\"",    "\" x\"",  "\"\"x\"\"", "a \"b\" c",  "plain"};
    TIniFile file;
    TIniSection& section = file.AddSection("Office");
    for (const std::string& value : values)
        section.Add("Pass", value);
    const std::string bytes = file.ToBytes();
    EXPECT_NE(bytes.find("Pass=plain\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("Pass=\"x\"\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("Pass=\" secret\"\r\n"), std::string::npos);
    const TIniFile reread = TIniFile::Parse(bytes);
    ASSERT_EQ(reread.Sections().size(), 1u);
    ASSERT_EQ(reread.Sections()[0].Lines.size(), std::size(values));
    for (std::size_t i = 0; i < std::size(values); ++i)
        EXPECT_EQ(reread.Sections()[0].Lines[i].second, values[i]) << i;
}
