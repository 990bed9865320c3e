#include "app/command_line.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    std::vector<std::string> args;
    bool help, version, headless, takeOver;
    std::string settings;
    std::string error;
};

TEST(ProgramCommandLine, Table) {
    const Case cases[] = {
        {{}, false, false, false, false, "", ""},
        {{"--help"}, true, false, false, false, "", ""},
        {{"-h"}, true, false, false, false, "", ""},
        {{"--version"}, false, true, false, false, "", ""},
        {{"--headless"}, false, false, true, false, "", ""},
        {{"--headless", "--settings", "a b.cfg"}, false, false, true, false, "a b.cfg", ""},
        {{"--settings=x.cfg", "--headless"}, false, false, true, false, "x.cfg", ""},
        {{"--settings"}, false, false, false, false, "", "option --settings needs a file name"},
        {{"--settings="}, false, false, false, false, "", "option --settings needs a file name"},
        {{"--headles"}, false, false, false, false, "", "unknown option '--headles'"},
        {{"--headless", "extra"}, false, false, true, false, "", "unknown option 'extra'"},
        {{"--headless", "--take-over"}, false, false, true, true, "", ""},
        {{"--take-over"}, false, false, false, false, "", "option --take-over needs --headless"},
        {{"-platform", "offscreen"}, false, false, false, false, "", "unknown option '-platform'"},
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
        EXPECT_EQ(line.takeOver, c.takeOver) << shown;
        EXPECT_EQ(line.settingsFile, c.settings) << shown;
    }
}

TEST(ProgramCommandLine, HelpNamesEveryOption) {
    for (const char* option :
         {"--headless", "--take-over", "--settings FILE", "--version", "--help"})
        EXPECT_NE(usageText().find(option), std::string::npos) << option;
}

} // namespace
