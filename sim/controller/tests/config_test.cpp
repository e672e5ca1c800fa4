#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <unistd.h>

#include "controller/config.h"

using namespace sim::controller;

namespace {

/* A valid two-port file; the table below breaks one thing at a time. */
std::string ValidFile(const std::string &portsOverride = "", const std::string &controllerExtra = "") {
  const std::string ports = portsOverride.empty()
                                ? R"([{"comName": "COM5", "line": "null-modem", "peer": 1},
                                      {"comName": "COM6", "line": "null-modem", "peer": 0}])"
                                : portsOverride;
  return R"({"controllers": [{"productId": "0x4E58", "DevID": 0, "IniPort": 4)" + controllerExtra +
         R"(, "ports": )" + ports + "}]}";
}

}  // namespace

TEST(ControllerConfig, DefaultIsOneKv502WithFourPorts) {
  const Config c = DefaultConfig();
  ASSERT_EQ(c.Controllers.size(), 1u);
  const ControllerConfig &k = c.Controllers[0];
  EXPECT_EQ(k.ProductId, 0x2B72);
  EXPECT_EQ(k.DevID, 0u);
  ASSERT_EQ(k.Ports.size(), 4u);
  const LineKind lines[4] = {LineKind::NullModem, LineKind::NullModem, LineKind::Loopback, LineKind::Probe};
  for (uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(k.Ports[i].ComName, "COM" + std::to_string(5 + i));
    EXPECT_EQ(k.Ports[i].FriendlyName, "TAMBRIX Virtual COM Port " + std::to_string(i) + " (COM" + std::to_string(5 + i) + ")");
    EXPECT_EQ(k.Ports[i].Line, lines[i]);
  }
  EXPECT_EQ(k.Ports[0].PeerPort, 1u);
  EXPECT_EQ(k.Ports[1].PeerPort, 0u);
}

TEST(ControllerConfig, ParsesEveryFieldAndFillsDefaults) {
  const std::string text = R"({"controllers": [
      {"productId": 11122, "portCount": 2, "DevID": 3, "IniPort": 8, "uartTiming": "baud-accurate", "fifoDepth": 128,
       "ports": [{"comName": "COM12", "friendlyName": "Custom", "line": "pty"},
                 {"line": "null-modem", "peer": 0, "peerController": 4}]},
      {"productId": "0x4d58", "DevID": 4,
       "ports": [{"line": "null-modem", "peer": 1, "peerController": 3}]}]})";
  const ConfigResult r = ParseConfig(text, "x.json");
  ASSERT_TRUE(r.Ok()) << r.Error;
  const Config &c = *r.Value;
  ASSERT_EQ(c.Controllers.size(), 2u);
  EXPECT_EQ(c.Controllers[0].ProductId, 11122);
  EXPECT_EQ(c.Controllers[0].IniPort, 8u);
  EXPECT_EQ(c.Controllers[0].Timing, UartTiming::BaudAccurate);
  EXPECT_EQ(c.Controllers[0].FifoDepth, 128u);
  EXPECT_EQ(c.Controllers[0].Ports[0].FriendlyName, "Custom");
  EXPECT_EQ(c.Controllers[0].Ports[0].Line, LineKind::Pty);
  /* Unnamed ports take COM<5 + global index>. */
  EXPECT_EQ(c.Controllers[0].Ports[1].ComName, "COM6");
  EXPECT_EQ(c.Controllers[0].Ports[1].FriendlyName, "TAMBRIX Virtual COM Port 1 (COM6)");
  EXPECT_EQ(c.Controllers[1].ProductId, 0x4D58);
  EXPECT_EQ(c.Controllers[1].Timing, UartTiming::Instant);
  EXPECT_EQ(c.Controllers[1].FifoDepth, 64u);
  EXPECT_EQ(c.Controllers[1].Ports[0].ComName, "COM7");
  EXPECT_EQ(c.Controllers[1].Ports[0].PeerDevID, 3u);
  EXPECT_EQ(c.Controllers[1].Ports[0].PeerPort, 1u);
  ASSERT_NE(c.FindController(4), nullptr);
  EXPECT_EQ(c.FindController(5), nullptr);
}

struct BadConfig {
  const char *what;
  std::string text;
  std::string message;
};

TEST(ControllerConfig, ErrorsNameFileFieldAndExpectation) {
  const BadConfig rows[] = {
      {"bad line", ValidFile(R"([{"line": "null-modem", "peer": 1}, {"line": "null-modem", "peer": 0}, {"line": "serial"}])"),
       "config.json: controllers[0].ports[2].line: expected one of loopback, null-modem, pty, probe, none"},
      {"missing line", ValidFile(R"([{"comName": "COM5"}])"),
       "config.json: controllers[0].ports[0].line: missing; expected one of loopback, null-modem, pty, probe, none"},
      {"fifo depth", ValidFile("", R"(, "fifoDepth": 16)"), "config.json: controllers[0].fifoDepth: expected 64 or 128"},
      {"timing", ValidFile("", R"(, "uartTiming": "fast")"),
       "config.json: controllers[0].uartTiming: expected one of instant, baud-accurate"},
      {"product too wide", R"({"controllers": [{"productId": 70000, "DevID": 0, "ports": [{"line": "none"}]}]})",
       "config.json: controllers[0].productId: expected a 16-bit product identifier (a number or a hex string such as \"0x2B72\")"},
      {"product not hex", R"({"controllers": [{"productId": "2B72", "DevID": 0, "ports": [{"line": "none"}]}]})",
       "config.json: controllers[0].productId: expected a 16-bit product identifier (a number or a hex string such as \"0x2B72\")"},
      {"missing DevID", R"({"controllers": [{"productId": 1, "ports": [{"line": "none"}]}]})",
       "config.json: controllers[0].DevID: missing; expected the controller index, an integer"},
      {"negative IniPort", R"({"controllers": [{"productId": 1, "DevID": 0, "IniPort": -1, "ports": [{"line": "none"}]}]})",
       "config.json: controllers[0].IniPort: expected an integer from 0 to 65535"},
      {"port count mismatch", ValidFile("", R"(, "portCount": 4)"),
       "config.json: controllers[0].portCount: expected the number of entries in ports (2)"},
      {"no ports", ValidFile("[]"), "config.json: controllers[0].ports: expected an array of 1 to 32 ports"},
      {"bad com name", ValidFile(R"([{"comName": "COM0", "line": "none"}])"),
       "config.json: controllers[0].ports[0].comName: expected a COM name from COM1 to COM256"},
      {"duplicate com name", ValidFile(R"([{"comName": "COM9", "line": "none"}, {"comName": "COM9", "line": "none"}])"),
       "config.json: controllers[0].ports[1].comName: expected a COM name not used by another port (COM9 is also controllers[0].ports[0])"},
      {"peer missing", ValidFile(R"([{"line": "null-modem"}])"),
       "config.json: controllers[0].ports[0].peer: missing; expected the port index of the null modem's far end"},
      {"peer out of range", ValidFile(R"([{"line": "null-modem", "peer": 5}, {"line": "none"}])"),
       "config.json: controllers[0].ports[0].peer: expected a port index below 2"},
      {"peer is self", ValidFile(R"([{"line": "null-modem", "peer": 0}])"),
       "config.json: controllers[0].ports[0].peer: expected another port (a port cannot be its own peer)"},
      {"peer not reciprocal", ValidFile(R"([{"line": "null-modem", "peer": 1}, {"line": "loopback"}])"),
       "config.json: controllers[0].ports[0].peer: expected a null-modem port whose peer is this port"},
      {"peer on other line", ValidFile(R"([{"line": "probe", "peer": 1}, {"line": "none"}])"),
       "config.json: controllers[0].ports[0].peer: expected no peer: only a null-modem line has a far end"},
      {"unknown field", ValidFile(R"([{"line": "none", "baud": 9600}])"),
       "config.json: controllers[0].ports[0].baud: expected no such field (known fields: comName, friendlyName, line, peer, peerController)"},
      {"duplicate DevID",
       R"({"controllers": [{"productId": 1, "DevID": 2, "ports": [{"line": "none"}]}, {"productId": 1, "DevID": 2, "ports": [{"line": "none"}]}]})",
       "config.json: controllers[1].DevID: expected a DevID not used by another controller (2 is also controllers[0])"},
      {"no controllers", R"({"controllers": []})", "config.json: controllers: expected an array of 1 to 10 controllers"},
      {"not an object", "[1, 2]", "config.json: (top level): expected an object with a field \"controllers\""},
      {"syntax", "{\n  \"controllers\": [\n  ,\n]}", "config.json: line 3: expected valid JSON"},
  };
  for (const BadConfig &row : rows) {
    SCOPED_TRACE(row.what);
    const ConfigResult r = ParseConfig(row.text, "config.json");
    EXPECT_FALSE(r.Ok());
    EXPECT_EQ(r.Error, row.message);
  }
}

TEST(ControllerConfig, LoadsFileAndNamesUnreadableOne) {
  char dir[] = "/tmp/nv-config-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/config.json";
  {
    std::ofstream out(path);
    out << ValidFile();
  }
  const ConfigResult ok = LoadConfigFile(path);
  ASSERT_TRUE(ok.Ok()) << ok.Error;
  EXPECT_EQ(ok.Value->Controllers[0].ProductId, 0x4E58);
  EXPECT_EQ(ok.Value->Controllers[0].IniPort, 4u);

  {
    std::ofstream out(path);
    out << ValidFile("", R"(, "fifoDepth": "deep")");
  }
  const ConfigResult bad = LoadConfigFile(path);
  EXPECT_FALSE(bad.Ok());
  EXPECT_EQ(bad.Error, path + ": controllers[0].fifoDepth: expected 64 or 128");

  const ConfigResult missing = LoadConfigFile(std::string(dir) + "/absent.json");
  EXPECT_FALSE(missing.Ok());
  EXPECT_EQ(missing.Error, std::string(dir) + "/absent.json: cannot be opened; expected a readable configuration file");
  std::remove(path.c_str());
  rmdir(dir);
}
