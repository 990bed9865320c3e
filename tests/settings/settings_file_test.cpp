#include "settings/settings_file.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

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

} // namespace
