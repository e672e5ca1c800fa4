// Port discovery through the real script host.
#include "support.h"

#include "PortDiscovery.h"

#include <sys/stat.h>

#include <string>
#include <vector>

namespace {

using utiltest::ControllerSpec;

struct NameCase {
    const char *friendlyName;
    int index;    // the entry the name should set, -1 for none
    int expected; // its COM number
};

class DiscoveryTest : public utiltest::UtilityFixture {
protected:
    std::vector<int> Discover()
    {
        int table[MAX_PORT_TABLE];
        for (int &entry : table)
            entry = 12345; // discovery must set every entry itself
        DiscoverComPorts(table);
        EXPECT_FALSE(utiltest::Exists("DeviceQuery.vbs"));
        EXPECT_FALSE(utiltest::Exists("DeviceList.txt"));
        return std::vector<int>(table, table + MAX_PORT_TABLE);
    }
};

TEST_F(DiscoveryTest, DeviceNamesSetTheirEntries)
{
    const NameCase cases[] = {
        {"TAMBRIX Virtual COM Port 3 (COM7)", 3, 7},
        {"TAMBRIX Virtual COM Port 2(COM12)", 2, 12},
        {"TAMBRIX Virtual COM Port 4 COM9", 4, 9}, // no parenthesis: index + 5
        {"TAMBRIX Virtual COM Port 0", 0, 5},
        {"TAMBRIX Virtual COM Port 1 (COM20)", -1, 0},
        {"TAMBRIX Virtual COM Port 1 (COM21)", 1, 21}, // the later name wins
        {"TAMBRIX Virtual COM Port 255 (COM30)", 255, 30},
        {"TAMBRIX Virtual COM Port 256 (COM31)", -1, 0},
        {"TAMBRIX Virtual COM Port -1 (COM32)", -1, 0},
        {"TAMBRIX Virtual COM Port x (COM33)", -1, 0},
        {"TAMBRIX Virtual COM Port 10(COMx)", 10, 15},
        {"TAMBRIX Virtual COM Port12 (COM34)", -1, 0}, // the prefix ends with a space
        {"tambrix virtual com port 6 (COM35)", -1, 0},
        {"USB Serial Port (COM36)", -1, 0},
        {"Virtual COM Port 7 (COM37)", -1, 0},
    };
    ControllerSpec controller{0x2B72, {}};
    for (const NameCase &c : cases)
        controller.friendlyNames.push_back(c.friendlyName);
    UseConfig({controller});

    std::vector<int> expected(MAX_PORT_TABLE, -1);
    for (const NameCase &c : cases)
        if (c.index >= 0)
            expected[static_cast<size_t>(c.index)] = c.expected;
    std::vector<int> table = Discover();
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(table[i], expected[i]) << "entry " << i;
}

TEST_F(DiscoveryTest, DefaultNamesOfTwoControllers)
{
    UseConfig({{0x2B72, std::vector<std::string>(4)}, {0x2B71, std::vector<std::string>(2)}});
    std::vector<int> table = Discover();
    EXPECT_EQ(std::vector<int>(table.begin(), table.begin() + 7), (std::vector<int>{5, 6, 7, 8, 9, 10, -1}));
}

TEST_F(DiscoveryTest, FailedScriptLeavesEveryEntryUnknown)
{
    // The host refuses to run without a valid configuration and writes no
    // list; a list left from before must not be read instead.
    UseConfigText("not json");
    utiltest::WriteFile("DeviceList.txt", "TAMBRIX Virtual COM Port 0 (COM9)\r\n");
    std::vector<int> table = Discover();
    EXPECT_EQ(table, std::vector<int>(MAX_PORT_TABLE, -1));
}

TEST_F(DiscoveryTest, ScriptThatCannotBeCreated)
{
    UseConfig({{0x2B72, std::vector<std::string>(2)}});
    ASSERT_EQ(mkdir("DeviceQuery.vbs", 0755), 0); // in the way of the script file
    std::vector<int> table = Discover();
    EXPECT_EQ(table, std::vector<int>(MAX_PORT_TABLE, -1));
}

} // namespace
