#include "settings/ini_file.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

class IniFileTest : public ::testing::Test {
protected:
    std::filesystem::path file() const { return folder.path() / "settings.cfg"; }
    TIniFile ini() const { return TIniFile(file().string()); }
    TempFolder folder;
};

TEST_F(IniFileTest, MissingFileGivesDefaults) {
    EXPECT_EQ(ini().ReadString("Connections", "Connection0Tunnel", "none"), "none");
    EXPECT_EQ(ini().ReadInteger("Connections", "Connection0ComPort", -1), -1);
    EXPECT_TRUE(ini().ReadSection("Connections").empty());
}

TEST_F(IniFileTest, ReadsPrivateProfileText) {
    writeText(file(), "\xEF\xBB\xBF[General]\r\n"
                      "Lang = ru\r\n"
                      "; a remark\r\n"
                      " [ connections ] \r\n"
                      "CONNECTION0TUNNEL =  key one  \r\n"
                      "Connection0ComPort=0x1F\r\n"
                      "Quoted=\"  spaced  \"\r\n"
                      "NoValue=\r\n");
    auto settings = ini();
    EXPECT_EQ(settings.ReadString("general", "lang", ""), "ru");
    EXPECT_EQ(settings.ReadString("Connections", "Connection0Tunnel", ""), "key one");
    EXPECT_EQ(settings.ReadInteger("Connections", "connection0comport", -1), 31);
    EXPECT_EQ(settings.ReadString("Connections", "Quoted", ""), "  spaced  ");
    EXPECT_EQ(settings.ReadString("Connections", "NoValue", "default"), "");
    EXPECT_EQ(
        settings.ReadSection("CONNECTIONS"),
        (std::vector<std::string>{"CONNECTION0TUNNEL", "Connection0ComPort", "Quoted", "NoValue"}));
}

TEST(IniIntegerTest, AcceptsDecimalAndHexadecimalWithin32Bits) {
    struct Case {
        const char* text;
        bool valid;
        int32_t value;
    };
    const Case cases[] = {
        {"0", true, 0},
        {"42", true, 42},
        {"-1", true, -1},
        {"+7", true, 7},
        {"0x10", true, 16},
        {"0XfF", true, 255},
        {"-0x10", true, -16},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, INT32_MIN},
        {"2147483648", false, 0},
        {"99999999999999999999", false, 0},
        {"", false, 0},
        {"abc", false, 0},
        {"12abc", false, 0},
        {"0x", false, 0},
        {"1.5", false, 0},
        {"-", false, 0},
        {"0xG1", false, 0},
    };
    for (const auto& c : cases) {
        int32_t value = 12345;
        EXPECT_EQ(parseIniInteger(c.text, value), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

TEST_F(IniFileTest, ValuesRoundTripAsTyped) {
    const std::string values[] = {"plain",
                                  "  blanks around  ",
                                  "\"quoted\"",
                                  "'single'",
                                  "in \"the\" middle",
                                  "ключ туннеля",
                                  "",
                                  "a=b;c"};
    auto settings = ini();
    for (size_t i = 0; i < std::size(values); ++i)
        settings.WriteString("S", "Key" + std::to_string(i), values[i]);
    for (size_t i = 0; i < std::size(values); ++i)
        EXPECT_EQ(settings.ReadString("S", "Key" + std::to_string(i), "x"), values[i]);
}

TEST_F(IniFileTest, LineBreaksInAValueCannotAddEntries) {
    ini().WriteString("Connections", "Connection0Tunnel", "key\n[Other]\nInjected=1");
    EXPECT_EQ(ini().ReadString("Other", "Injected", "none"), "none");
    EXPECT_EQ(ini().ReadString("Connections", "Connection0Tunnel", ""), "key [Other] Injected=1");
}

TEST_F(IniFileTest, LongValuesAreReadUpTo2047Characters) {
    const std::string longValue = std::string(2046, 'a') + "жz";
    ini().WriteString("S", "Long", longValue);
    EXPECT_EQ(ini().ReadString("S", "Long", ""), std::string(2046, 'a') + "ж");
}

TEST_F(IniFileTest, WritesReplaceInPlaceAndLeaveOtherSectionsAlone) {
    writeText(file(), "[General]\nLang=ru\n\n[Connections]\nConnection0Tunnel=old\n\n"
                      "[ExceptionList]\nItem=1\n");
    auto settings = ini();
    settings.WriteString("connections", "CONNECTION0TUNNEL", "new");
    settings.WriteInteger("Connections", "Connection0ComPort", 3);
    settings.WriteString("Added", "Key", "v");
    EXPECT_EQ(fileText(file()), "[General]\nLang=ru\n\n[Connections]\nConnection0Tunnel=new\n"
                                "Connection0ComPort=3\n\n[ExceptionList]\nItem=1\n\n[Added]\n"
                                "Key=v\n");
}

TEST_F(IniFileTest, WritesKeepTheBytesOfEveryLineTheyDoNotEdit) {
    using namespace std::string_literals; // literals that hold a NUL byte
    writeText(file(), "\xEF\xBB\xBF[S]\r\nA=1\r\n; \xFF\xFE note\r\n[T]\r\nB=\x80\0x\r\nE=2"s);
    auto settings = ini();
    settings.WriteString("S", "A", "9");
    settings.WriteString("T", "C", "3");
    settings.WriteString("U", "D", "4");
    EXPECT_EQ(fileText(file()), "\xEF\xBB\xBF[S]\r\nA=9\r\n; \xFF\xFE note\r\n[T]\r\n"
                                "B=\x80\0x\r\nE=2\r\nC=3\r\n\r\n[U]\r\nD=4\r\n"s);
    EXPECT_EQ(settings.ReadString("T", "B", ""), "\x80\0x"s);
}

TEST_F(IniFileTest, EraseSectionRemovesEveryCopyOfIt) {
    writeText(file(), "[Connections]\nA=1\n[General]\nLang=ru\n[CONNECTIONS]\nB=2\n");
    ini().EraseSection("Connections");
    EXPECT_EQ(fileText(file()), "[General]\nLang=ru\n");
}

TEST_F(IniFileTest, WritesReplaceTheFileAtomically) {
    writeText(file(), "[S]\nA=1\n");
    chmod(file().c_str(), 0640);
    const auto modeBefore = std::filesystem::status(file()).permissions();
    ini().WriteString("S", "B", "2");
    EXPECT_EQ(std::filesystem::status(file()).permissions(), modeBefore);
    // Nothing but the file itself is left in the folder.
    size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(folder.path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
}

TEST_F(IniFileTest, AWriteFollowsASymbolicLink) {
    writeText(folder.path() / "real.cfg", "[S]\nA=1\n");
    std::filesystem::create_symlink(folder.path() / "real.cfg", file());
    ini().WriteString("S", "A", "2");
    EXPECT_TRUE(std::filesystem::is_symlink(file()));
    EXPECT_EQ(fileText(folder.path() / "real.cfg"), "[S]\nA=2\n");
}

TEST_F(IniFileTest, ARefusedWriteNamesTheFile) {
    const auto missing = folder.path() / "no-such-folder" / "settings.cfg";
    TIniFile settings(missing.string());
    try {
        settings.EraseSection("Connections");
        FAIL() << "no error";
    } catch (const EIniFileError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + missing.string());
    }
    EXPECT_THROW(settings.WriteString("S", "A", "1"), EIniFileError);
}

TEST_F(IniFileTest, UpdateWritesAllOrNothing) {
    writeText(file(), "[General]\nLang=ru\n[Connections]\nConnection0Tunnel=kept\n");
    auto settings = ini();
    EXPECT_THROW(settings.Update([&] {
        settings.EraseSection("Connections");
        settings.WriteString("Connections", "Connection0Tunnel", "half");
        throw std::runtime_error("stopped");
    }),
                 std::runtime_error);
    EXPECT_EQ(fileText(file()), "[General]\nLang=ru\n[Connections]\nConnection0Tunnel=kept\n");

    settings.Update([&] {
        settings.EraseSection("Connections");
        settings.WriteString("Connections", "Connection0Tunnel", "a");
        // Reads inside an update see its changes.
        EXPECT_EQ(settings.ReadString("Connections", "Connection0Tunnel", ""), "a");
        settings.WriteInteger("Connections", "Connection0ComPort", 2);
    });
    EXPECT_EQ(fileText(file()),
              "[General]\nLang=ru\n\n[Connections]\nConnection0Tunnel=a\nConnection0ComPort=2\n");
}

} // namespace
