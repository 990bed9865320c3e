#include "cloudsim/options.h"
#include "platform/text.h"

#include <gtest/gtest.h>
#include <zelvane_config.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

using namespace cloudsim;

namespace {

std::string errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const ConfigError& error) {
        return error.what();
    }
    return "no error";
}

} // namespace

TEST(TunnelTable, ReadsSectionsWithDefaultsAndAnyCase) {
    const auto table = parseTunnelTable("; demo tunnels\n"
                                        "[demo]\n"
                                        "ID = 7\n"
                                        "Iface=0\n"
                                        "description = Echo for trying\n"
                                        "params=9600 8N1\n"
                                        "paramsDescription=baud, frame\n"
                                        "\n"
                                        "# a second one\n"
                                        "[  field modem ]\n"
                                        "name=Модем\n"
                                        "device=TCP:4001\n",
                                        "t.ini");
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0].key, "demo");
    EXPECT_EQ(table[0].id, 7);
    EXPECT_EQ(table[0].localInterfaceId, 0);
    EXPECT_EQ(table[0].name, "demo");
    EXPECT_EQ(table[0].description, "Echo for trying");
    EXPECT_EQ(table[0].params, "9600 8N1");
    EXPECT_EQ(table[0].paramsDescription, "baud, frame");
    EXPECT_EQ(table[0].device.kind, DeviceKind::Echo);
    EXPECT_EQ(table[1].key, "field modem");
    EXPECT_EQ(table[1].id, 1);
    EXPECT_EQ(table[1].localInterfaceId, 1);
    EXPECT_EQ(table[1].name, "Модем");
    EXPECT_EQ(table[1].device.kind, DeviceKind::Tcp);
    EXPECT_EQ(table[1].device.port, 4001);
}

TEST(TunnelTable, MistakesNameTheirPlace) {
    const std::string longParams(300, 'p');
    const struct {
        std::string text;
        std::string error;
    } cases[] = {
        {"[a]\nid=256\n", "t.ini:2: id must be a number from 0 to 255"},
        {"[a]\nid=-1\n", "t.ini:2: id must be"},
        {"[a]\ndevice=serial\n", "t.ini:2: device must be echo, pty or tcp:PORT"},
        {"[a]\ndevice=tcp:70000\n", "t.ini:2: device must be"},
        {"[a]\ncolour=red\n", "t.ini:2: unknown field \"colour\""},
        {"[a]\nkey=b\n", "t.ini:2: the key is the section name"},
        {"name=x\n[a]\n", "t.ini:1: a field before the first [tunnel key] section"},
        {"[a\n", "t.ini:1: a section name must end with ']'"},
        {"[a]\njust text\n", "t.ini:2: expected field=value"},
        {"[]\n", "t.ini:1: the tunnel key is empty"},
        {"[a]\n[a]\n", "tunnel key \"a\" is defined twice"},
        {"[a]\nparams=" + longParams + "\n", "t.ini:1: params is longer than 299 bytes"},
        {"[a]\nname=日本\n", "has characters outside Windows-1251"},
    };
    for (const auto& c : cases)
        EXPECT_NE(errorOf([&] { parseTunnelTable(c.text, "t.ini"); }).find(c.error),
                  std::string::npos)
            << c.text << " gave: " << errorOf([&] { parseTunnelTable(c.text, "t.ini"); });
}

TEST(TunnelTable, MissingFileIsNamed) {
    EXPECT_EQ(errorOf([] { readTunnelFile("/nonexistent/tunnels.ini"); }),
              "cannot read the tunnel table /nonexistent/tunnels.ini");
}

TEST(TunnelTable, TextsTravelAsWindows1251) {
    const std::string text = "Туннель №1 «демо»";
    const std::string bytes = textToCp1251(text);
    EXPECT_EQ(bytes.size(), 17u);
    EXPECT_EQ(static_cast<uint8_t>(bytes[0]), 0xD2); // Т
    EXPECT_EQ(ansiToText(bytes), text);
}

TEST(CommandLine, ReadsEveryOption) {
    const std::string file =
        ::testing::TempDir() + "/cloudsim_tunnels_" + std::to_string(getpid()) + ".ini";
    std::ofstream(file) << "[fromfile]\ndevice=pty\n";
    const SimOptions options = parseCommandLine(
        {"--listen", "0.0.0.0:0", "--key", "000102030405060708090a0b0c0d0e0F", "--tunnels", file,
         "--tunnel", "key=demo,id=3,iface=1,name=Demo,device=echo", "--redirect",
         "other.example:4000,90", "--silent"});
    std::remove(file.c_str());
    EXPECT_EQ(options.listenHost, "0.0.0.0");
    EXPECT_EQ(options.listenPort, 0);
    EXPECT_EQ(options.key[1], 0x01);
    EXPECT_EQ(options.key[15], 0x0F);
    ASSERT_EQ(options.tunnels.size(), 2u);
    EXPECT_EQ(options.tunnels[0].key, "fromfile");
    EXPECT_EQ(options.tunnels[0].device.kind, DeviceKind::Pty);
    EXPECT_EQ(options.tunnels[1].key, "demo");
    EXPECT_EQ(options.tunnels[1].id, 3);
    EXPECT_EQ(options.tunnels[1].name, "Demo");
    ASSERT_TRUE(options.redirect.has_value());
    EXPECT_EQ(options.redirect->target, "other.example:4000");
    EXPECT_EQ(options.redirect->validitySeconds, 90);
    EXPECT_TRUE(options.silent);
}

TEST(CommandLine, DefaultsToThePortAndKeyOfTheProgram) {
    const SimOptions options = parseCommandLine({});
    EXPECT_EQ(options.listenHost, "127.0.0.1");
    EXPECT_EQ(options.listenPort, 12892);
    EXPECT_EQ(options.key, parseKey(ZELVANE_BUILTIN_KEY));
    EXPECT_TRUE(options.tunnels.empty());
    EXPECT_FALSE(options.redirect.has_value());
}

TEST(CommandLine, MistakesAreRefused) {
    const struct {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{"--listen", "127.0.0.1"}, "--listen: expected HOST:PORT"},
        {{"--listen", "127.0.0.1:65536"}, "the port must be a number from 0 to 65535"},
        {{"--listen"}, "--listen needs a value"},
        {{"--key", "00"}, "the key must be 32 hexadecimal digits"},
        {{"--key", std::string(31, '0') + "g"}, "the key must be 32 hexadecimal digits"},
        {{"--tunnel", "demo"}, "is not of the form field=value"},
        {{"--tunnel", "name=x"}, "the tunnel key is empty"},
        {{"--tunnel", "key=a", "--tunnel", "key=a"}, "defined twice"},
        {{"--redirect", "host:1"}, "expected HOST:PORT,SECONDS"},
        {{"--redirect", "host:x,5"}, "the port must be"},
        {{"--redirect", "host,70000"}, "the validity must be 0 to 65535 seconds"},
        {{"--verbose"}, "unknown option \"--verbose\""},
    };
    for (const auto& c : cases)
        EXPECT_NE(errorOf([&] { parseCommandLine(c.args); }).find(c.error), std::string::npos)
            << c.args[0] << " gave: " << errorOf([&] { parseCommandLine(c.args); });
}
