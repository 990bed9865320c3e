#include "app/command_line.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    std::vector<std::string> args;
    bool help, version, headless;
    std::string settings;
    std::string error;
};

TEST(ProgramCommandLine, Table) {
    const Case cases[] = {
        {{}, false, false, false, "", ""},
        {{"--help"}, true, false, false, "", ""},
        {{"-h"}, true, false, false, "", ""},
        {{"--version"}, false, true, false, "", ""},
        {{"--headless"}, false, false, true, "", ""},
        {{"--headless", "--settings", "a b.cfg"}, false, false, true, "a b.cfg", ""},
        {{"--settings=x.cfg", "--headless"}, false, false, true, "x.cfg", ""},
        {{"--settings"}, false, false, false, "", "option --settings needs a file name"},
        {{"--settings="}, false, false, false, "", "option --settings needs a file name"},
        {{"--headles"}, false, false, false, "", "unknown option '--headles'"},
        {{"--headless", "extra"}, false, false, true, "", "unknown option 'extra'"},
        {{"-platform", "offscreen"}, false, false, false, "", "unknown option '-platform'"},
    };
    for (const Case& c : cases) {
        const TCommandLine line = parseCommandLine(c.args);
        const std::string shown = ::testing::PrintToString(c.args);
        EXPECT_EQ(line.error, c.error) << shown;
        if (!c.error.empty())
            continue;
        EXPECT_EQ(line.help, c.help) << shown;
        EXPECT_EQ(line.version, c.version) << shown;
        EXPECT_EQ(line.headless, c.headless) << shown;
        EXPECT_EQ(line.settingsFile, c.settings) << shown;
    }
}

TEST(ProgramCommandLine, HelpNamesEveryOption) {
    for (const char* option : {"--headless", "--settings FILE", "--version", "--help"})
        EXPECT_NE(usageText().find(option), std::string::npos) << option;
}

} // namespace
