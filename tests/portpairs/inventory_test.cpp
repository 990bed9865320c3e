#include "portpairs/ports_handler.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

TDriverDevice bus(int32_t n) {
    return {"root\\com0com", "", n, std::nullopt};
}
TDriverDevice endA(int32_t n, const std::string& name) {
    return {"com0com\\port", "CNCA" + std::to_string(n), std::nullopt, name};
}
TDriverDevice endB(const std::string& location) {
    return {"com0com\\port", location, std::nullopt, std::nullopt};
}
TDriverDevice other(const std::string& hardwareId, const std::string& location) {
    return {hardwareId, location, std::nullopt, std::string("ttyS0")};
}

// "id human hidden" per pair, in list order.
std::vector<std::string> listing(const TC0cPortsHandler& inventory) {
    std::vector<std::string> rows;
    for (const auto& pair : inventory.pairs())
        rows.push_back(std::to_string(pair->PairId) + " " + pair->ComHuman + " " + pair->ComHidden);
    return rows;
}

struct InventoryCase {
    const char* name;
    std::vector<TDriverDevice> devices;
    std::vector<std::string> pairs;
};

TEST(InventoryTest, WalksTheDeviceSetAsTheDriverListsIt) {
    const std::string longName(20, 'x');
    const std::string longestName(19, 'y');
    const std::vector<InventoryCase> cases = {
        {"no pair devices", {other("PCI\\VEN_8086", "CNCA1")}, {}},
        {"pairs keep device order",
         {bus(5), endA(5, "ttyZV5"), endB("CNCB5"), bus(0), endA(0, "ttyZV0"), endB("CNCB0")},
         {"5 ttyZV5 CNCB5", "0 ttyZV0 CNCB0"}},
        {"bus device alone", {bus(3)}, {"3  CNCB3"}},
        {"A end before the bus device",
         {bus(1), endA(3, "COM7"), endA(1, "ttyZV1"), bus(3)},
         {"1 ttyZV1 CNCB1", "3 COM7 CNCB3"}},
        {"B end after the bus device keeps the bus device's name",
         {bus(3), endB("CNCB03")},
         {"3  CNCB3"}},
        {"bus device after the B end replaces its name", {endB("CNCB03 "), bus(3)}, {"3  CNCB3"}},
        {"B end alone names the hidden side, trimmed", {endB("CNCB4 ")}, {"4  CNCB4"}},
        {"upper-case identifier is not recognised",
         {{"ROOT\\COM0COM", "", 2, std::nullopt}, {"COM0COM\\PORT", "CNCA2", std::nullopt, "x"}},
         {}},
        {"only the first hardware identifier counts",
         {other(std::string("ACPI\\PNP0501\0com0com\\port", 26), "CNCA6")},
         {}},
        {"identifier beyond the property buffer is not seen",
         {other(std::string(30, 'z') + "com0com\\port", "CNCA6")},
         {}},
        {"location without CNC is skipped", {other("com0com\\port", "USB1")}, {}},
        {"port name of 20 characters reads as empty", {endA(1, longName)}, {"1  "}},
        {"port name of 19 characters is kept", {endA(1, longestName)}, {"1 " + longestName + " "}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TC0cPortsHandler inventory(c.devices);
        EXPECT_EQ(listing(inventory), c.pairs);
    }
}

TEST(InventoryTest, FindsPairsByNumber) {
    TC0cPortsHandler inventory({bus(5), endA(5, "ttyZV5"), bus(0)});
    ASSERT_NE(inventory.findPairByPairId(0), nullptr);
    EXPECT_EQ(inventory.findPairByPairId(0)->ComHidden, "CNCB0");
    EXPECT_EQ(inventory.findPairByPairId(5)->ComHuman, "ttyZV5");
    EXPECT_EQ(inventory.findPairByPairId(1), nullptr);
    EXPECT_EQ(inventory.findPairByPairId(-1), nullptr);

    const PC0cPair five = inventory.findPairByPairId(5);
    EXPECT_EQ(inventory.pairForId(5), five);
    const PC0cPair added = inventory.pairForId(9);
    EXPECT_EQ(inventory.pairs().back().get(), added);
    EXPECT_EQ(added->ComHuman + added->ComHidden, "");
}

TEST(InventoryTest, MalformedNumbersRaise) {
    EXPECT_THROW(TC0cPortsHandler({bus(1), endB("CNCBx")}), std::invalid_argument);
    EXPECT_THROW(TC0cPortsHandler({endB("CNCB")}), std::invalid_argument);
    EXPECT_THROW(TC0cPortsHandler({endB("CNCB99999999999")}), std::invalid_argument);
    EXPECT_THROW(TC0cPortsHandler({bus(-5)}), std::range_error);
}

} // namespace
