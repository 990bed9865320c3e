#include "settings/settings_file.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <sys/stat.h>

namespace {

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(SettingsPathTest, FollowsTheUsersConfigFolder) {
    TempFolder home;
    ScopedEnv homeVar("HOME", home.path().c_str());
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
        EXPECT_EQ(settingsFilePath(),
                  home.path().string() + "/.config/Quarnel/ZelvaneTunnel/settings.cfg");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/elsewhere/cfg");
        EXPECT_EQ(settingsFilePath(), "/elsewhere/cfg/Quarnel/ZelvaneTunnel/settings.cfg");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "relative/cfg");
        EXPECT_EQ(settingsFilePath(),
                  home.path().string() + "/.config/Quarnel/ZelvaneTunnel/settings.cfg");
    }
}

// A temporary config folder for the settings file.
class SettingsFileTest : public ::testing::Test {
protected:
    SettingsFileTest() : xdg_("XDG_CONFIG_HOME", config.path().c_str()) {}
    std::filesystem::path file() const {
        return config.path() / "Quarnel" / "ZelvaneTunnel" / "settings.cfg";
    }
    TempFolder config;

private:
    ScopedEnv xdg_;
};

TEST_F(SettingsFileTest, OpeningCreatesTheFolderButNoFileAndFindsNoTunnel) {
    auto ini = openSettingsFile();
    EXPECT_TRUE(std::filesystem::is_directory(file().parent_path()));
    EXPECT_EQ(std::filesystem::status(file().parent_path()).permissions() &
                  std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
    EXPECT_FALSE(std::filesystem::exists(file()));
    EXPECT_TRUE(readStoredTunnels(ini).empty());
    ini.WriteString(ConnectionsSection, connectionEntry(0, "Tunnel"), "k");
    EXPECT_EQ(fileText(file()), "[Connections]\nConnection0Tunnel=k\n");
}

TEST_F(SettingsFileTest, EveryStoredTunnelIsRead) {
    openSettingsFile();
    writeText(file(), "[General]\nConnection9Tunnel=not a tunnel\n"
                      "[Connections]\n"
                      "Connection0Tunnel=first\n"
                      "Connection0ComPort=2\n"
                      "Connection1Tunnel=\n"         // added, never given a key
                      "Connection2Tunnel= second \n" // read without the blanks of the file
                      "Connection2ComPort=COM5\n"    // not a number
                      "Connection4Tunnel=\"  third \"\n"
                      "Connection4ComPort=0x3\n"
                      "connection5comport=7\n" // a pair number alone
                      "Connection01Tunnel=leading zero\n"
                      "ConnectionXTunnel=no number\n"
                      "Connection6Other=unknown suffix\n");
    const auto tunnels = readStoredTunnels(openSettingsFile());
    struct Expected {
        int index;
        std::string key;
        int32_t comPort;
    };
    const Expected expected[] = {
        {0, "first", 2}, {1, "", -1}, {2, "second", -1}, {4, "  third ", 3}, {5, "", 7},
    };
    ASSERT_EQ(tunnels.size(), std::size(expected));
    for (size_t i = 0; i < tunnels.size(); ++i) {
        EXPECT_EQ(tunnels[i].index, expected[i].index);
        EXPECT_EQ(tunnels[i].tunnelKey, expected[i].key);
        EXPECT_EQ(tunnels[i].comPort, expected[i].comPort);
    }
}

TEST_F(SettingsFileTest, TunnelsAreWrittenBackWithTheBytesTheyWereReadFrom) {
    openSettingsFile();
    writeText(file(), "[Connections]\r\n"
                      "connection0tunnel = \"K\xE9Y\xFF\" \r\n"
                      "Connection0ComPort=0x1F\r\n"
                      "Connection1Tunnel=old\r\n"
                      "\r\n"
                      "[General]\r\n"
                      "Lang=ru");
    auto ini = openSettingsFile();
    auto tunnels = readStoredTunnels(ini);
    ASSERT_EQ(tunnels.size(), 2u);
    EXPECT_EQ(tunnels[0].tunnelKey, "K\xE9Y\xFF");
    EXPECT_EQ(tunnels[0].problems, std::vector<std::string>{"Connection0Tunnel is not UTF-8 text"});
    tunnels[1].tunnelKey = "new";
    tunnels[1].comPort = 4;
    tunnels.push_back({7, "added", -1, {}});
    writeStoredTunnels(ini, tunnels);
    EXPECT_EQ(fileText(file()), "[Connections]\r\n"
                                "connection0tunnel = \"K\xE9Y\xFF\" \r\n"
                                "Connection0ComPort=0x1F\r\n"
                                "Connection1Tunnel=new\r\n"
                                "Connection1ComPort=4\r\n"
                                "Connection2Tunnel=added\r\n"
                                "\r\n"
                                "[General]\r\n"
                                "Lang=ru");
}

// Hostile files: the tunnels are read, what cannot be used is named, and a
// save that adds a tunnel changes nothing but the lines of that tunnel.
TEST_F(SettingsFileTest, HostileFilesKeepEveryByteASaveDoesNotEdit) {
    const std::string megabyte(1 << 20, 'm');
    const std::string key300(300, 'k');
    const std::string nul(1, '\0');
    struct Case {
        const char* name;
        std::string before;
        std::vector<std::string> keys;
        std::vector<std::string> problems;
        std::string after;
    };
    const Case cases[] = {
        {"binary bytes",
         "\xEF\xBB\xBF[Bin]\nA=\x01\x02\xFF\n" + nul +
             "\x7F\x80\n[Connections]\nConnection0Tunnel=a" + nul + "b\n",
         {"a" + nul + "b"},
         {},
         "\xEF\xBB\xBF[Bin]\nA=\x01\x02\xFF\n" + nul +
             "\x7F\x80\n[Connections]\nConnection0Tunnel=a" + nul + "b\nConnection1Tunnel=added\n"},
        {"non-UTF-8 values",
         "[General]\nName=\xC0\xAF\xED\xA0\x80\n[Connections]\nConnection0Tunnel=\x4B\xE9\x59\xFF\n"
         "Connection0ComPort=x\xFF\n",
         {"\x4B\xE9\x59\xFF"},
         {"Connection0Tunnel is not UTF-8 text", "Connection0ComPort is not a pair number"},
         "[General]\nName=\xC0\xAF\xED\xA0\x80\n[Connections]\nConnection0Tunnel=\x4B\xE9\x59\xFF\n"
         "Connection1Tunnel=added\n"},
        {"a 1 MB line",
         "[Notes]\nBig=" + megabyte + "\n[Connections]\nConnection0Tunnel=" + megabyte + "\n",
         {std::string(2047, 'm')},
         {},
         "[Notes]\nBig=" + megabyte + "\n[Connections]\nConnection0Tunnel=" + megabyte +
             "\nConnection1Tunnel=added\n"},
        {"a 300-byte key",
         "[Connections]\nConnection0Tunnel=" + key300 + "\nConnection0ComPort=2",
         {key300},
         {},
         "[Connections]\nConnection0Tunnel=" + key300 +
             "\nConnection0ComPort=2\nConnection1Tunnel=added\n"},
        {"duplicate sections",
         "[General]\nA=1\n[connections]\nConnection0Tunnel=first\n\n[General]\nA=2\n"
         "[Connections]\nConnection0Tunnel=second\nConnection1Tunnel=more\n",
         {"first", "more"},
         {},
         "[General]\nA=1\n[connections]\nConnection0Tunnel=first\nConnection1Tunnel=more\n"
         "Connection2Tunnel=added\n\n[General]\nA=2\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        openSettingsFile();
        writeText(file(), c.before);
        auto ini = openSettingsFile();
        auto tunnels = readStoredTunnels(ini);
        std::vector<std::string> keys, problems;
        for (const auto& tunnel : tunnels) {
            keys.push_back(tunnel.tunnelKey);
            problems.insert(problems.end(), tunnel.problems.begin(), tunnel.problems.end());
        }
        EXPECT_EQ(keys, c.keys);
        EXPECT_EQ(problems, c.problems);
        tunnels.push_back({0, "added", -1, {}});
        ini.Update([&] { writeStoredTunnels(ini, tunnels); });
        EXPECT_TRUE(fileText(file()) == c.after);
    }
}

TEST_F(SettingsFileTest, AFolderInPlaceOfTheFileIsNamedAndLeftAlone) {
    std::filesystem::create_directories(file() / "inside");
    auto ini = openSettingsFile();
    try {
        readStoredTunnels(ini);
        FAIL() << "no error";
    } catch (const EIniFileError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to read " + file().string() + ": Is a directory");
    }
    EXPECT_THROW(writeStoredTunnels(ini, {{0, "k", -1, {}}}), EIniFileError);
    EXPECT_TRUE(std::filesystem::is_directory(file() / "inside"));

    // Nor does a pipe in its place hold the reader.
    std::filesystem::remove_all(file());
    ASSERT_EQ(mkfifo(file().c_str(), 0600), 0);
    EXPECT_THROW(readStoredTunnels(ini), EIniFileError);
}

} // namespace
