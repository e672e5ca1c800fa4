#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include "controller/state.h"

using namespace sim::controller;
namespace fs = std::filesystem;

namespace {

class StateFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/nv-state-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    m_Dir = dir;
  }
  void TearDown() override { fs::remove_all(m_Dir); }

  StateStore Store() {
    return StateStore(m_Dir, [this](const std::string &m) {
      std::lock_guard<std::mutex> g(m_Lock);
      m_Warnings.push_back(m);
    });
  }
  void WriteRaw(const std::string &text) {
    std::ofstream out(m_Dir + "/port-modes.json", std::ios::trunc);
    out << text;
  }
  std::vector<std::string> Warnings() {
    std::lock_guard<std::mutex> g(m_Lock);
    return m_Warnings;
  }

  std::string m_Dir;
  std::mutex m_Lock;
  std::vector<std::string> m_Warnings;
};

}  // namespace

TEST_F(StateFile, MissingFileReadsRs232WithWarningNamingTheFile) {
  StateStore s = Store();
  EXPECT_EQ(s.GetMode(0, 3), PORT_MODE_RS232);
  EXPECT_EQ(s.AllModes(0, 4), (std::vector<int>{1, 1, 1, 1}));
  const auto w = Warnings();
  ASSERT_EQ(w.size(), 1u) << "the same condition is reported once";
  EXPECT_NE(w[0].find(m_Dir + "/port-modes.json"), std::string::npos) << w[0];
}

TEST_F(StateFile, SetThenGetFromAnotherStoreReadsFresh) {
  StateStore writer = Store();
  StateStore reader = Store();
  EXPECT_EQ(reader.GetMode(1, 2), PORT_MODE_RS232);
  std::string error;
  ASSERT_TRUE(writer.SetMode(1, 2, PORT_MODE_RS485, &error)) << error;
  ASSERT_TRUE(writer.SetMode(1, 0, PORT_MODE_RS422, &error)) << error;
  ASSERT_TRUE(writer.SetMode(0, 2, PORT_MODE_RS422, &error)) << error;
  EXPECT_EQ(reader.GetMode(1, 2), PORT_MODE_RS485);
  EXPECT_EQ(reader.AllModes(1, 4), (std::vector<int>{2, 1, 0, 1}));
  EXPECT_EQ(reader.AllModes(0, 3), (std::vector<int>{1, 1, 2}));
  ASSERT_TRUE(writer.SetMode(1, 2, PORT_MODE_RS232, &error));
  EXPECT_EQ(reader.GetMode(1, 2), PORT_MODE_RS232);
}

TEST_F(StateFile, RefusesModesOutsideZeroToTwo) {
  StateStore s = Store();
  for (int bad : {-1, 3, 255}) {
    std::string error;
    EXPECT_FALSE(s.SetMode(0, 0, bad, &error));
    EXPECT_NE(error.find(std::to_string(bad)), std::string::npos) << error;
  }
  EXPECT_FALSE(fs::exists(m_Dir + "/port-modes.json"));
}

TEST_F(StateFile, DamagedFileFallsBackAndIsRepairedByTheNextWrite) {
  const struct {
    const char *what;
    std::string text;
  } rows[] = {
      {"truncated", "{\"modes\": {\"0\": {\"1\": 0"},
      {"binary", std::string("\x00\xff\x13garbage", 10)},
      {"wrong shape", "[0, 1, 2]"},
      {"modes not an object", "{\"modes\": 5}"},
      {"empty", ""},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    WriteRaw(row.text);
    StateStore s = Store();
    m_Warnings.clear();
    EXPECT_EQ(s.GetMode(0, 1), PORT_MODE_RS232);
    const auto w = Warnings();
    ASSERT_FALSE(w.empty());
    EXPECT_NE(w[0].find(m_Dir + "/port-modes.json"), std::string::npos) << w[0];
    EXPECT_NE(w[0].find("damaged"), std::string::npos) << w[0];
    ASSERT_TRUE(s.SetMode(0, 1, PORT_MODE_RS485));
    EXPECT_EQ(s.GetMode(0, 1), PORT_MODE_RS485);
  }
}

TEST_F(StateFile, DamagedEntryReadsRs232AndLeavesTheOthers) {
  WriteRaw(R"({"modes": {"0": {"0": 0, "1": 7, "2": "x", "3": 2}, "zz": {"0": 0}}})");
  StateStore s = Store();
  EXPECT_EQ(s.AllModes(0, 4), (std::vector<int>{0, 1, 1, 2}));
  EXPECT_FALSE(Warnings().empty());
}

TEST_F(StateFile, WriteReplacesTheFileAndLeavesNoTemporary) {
  StateStore s = Store();
  ASSERT_TRUE(s.SetMode(0, 0, PORT_MODE_RS485));
  struct stat before, after;
  ASSERT_EQ(stat(s.FilePath().c_str(), &before), 0);
  ASSERT_TRUE(s.SetMode(0, 1, PORT_MODE_RS422));
  ASSERT_EQ(stat(s.FilePath().c_str(), &after), 0);
  /* A new inode: the file was renamed over, not rewritten in place. */
  EXPECT_NE(before.st_ino, after.st_ino);
  for (const auto &entry : fs::directory_iterator(m_Dir)) {
    const std::string name = entry.path().filename();
    EXPECT_TRUE(name == "port-modes.json" || name == "port-modes.lock") << name;
  }
}

TEST_F(StateFile, CreatesTheStateDirectory) {
  StateStore s(m_Dir + "/a/b/c", [](const std::string &) {});
  ASSERT_TRUE(s.SetMode(2, 5, PORT_MODE_RS422));
  EXPECT_EQ(s.GetMode(2, 5), PORT_MODE_RS422);
}

TEST_F(StateFile, ConcurrentWritersLoseNoUpdateAndReadersNeverSeeATornFile) {
  constexpr int kWriters = 4, kPorts = 16;
  std::atomic<bool> done{false};
  std::atomic<int> damagedSeen{0};
  std::thread reader([&] {
    StateStore r(m_Dir, [&](const std::string &m) {
      if (m.find("damaged") != std::string::npos) damagedSeen++;
    });
    while (!done.load()) r.AllModes(0, kPorts);
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      StateStore s(m_Dir, [](const std::string &) {});
      for (int p = 0; p < kPorts; ++p) {
        /* Each writer owns its own controller; every write rewrites the whole
         * file, so a write made without the lock would drop another's. */
        EXPECT_TRUE(s.SetMode(static_cast<uint32_t>(w), static_cast<uint32_t>(p), p % 3));
      }
    });
  }
  for (auto &t : writers) t.join();
  done = true;
  reader.join();
  EXPECT_EQ(damagedSeen.load(), 0);
  StateStore s = Store();
  for (int w = 0; w < kWriters; ++w) {
    const std::vector<int> modes = s.AllModes(static_cast<uint32_t>(w), kPorts);
    for (int p = 0; p < kPorts; ++p) EXPECT_EQ(modes[p], p % 3) << "controller " << w << " port " << p;
  }
}

TEST(StateDirectory, FollowsTheEnvironmentInOrder) {
  const char *saved[3] = {std::getenv("NERAVOX_STATE_DIR"), std::getenv("XDG_STATE_HOME"), std::getenv("HOME")};
  const std::string keep[3] = {saved[0] ? saved[0] : "", saved[1] ? saved[1] : "", saved[2] ? saved[2] : ""};
  setenv("HOME", "/home/u", 1);
  setenv("XDG_STATE_HOME", "/xdg", 1);
  setenv("NERAVOX_STATE_DIR", "/nv", 1);
  EXPECT_EQ(DefaultStateDirectory(), "/nv");
  unsetenv("NERAVOX_STATE_DIR");
  EXPECT_EQ(DefaultStateDirectory(), "/xdg/neravox");
  unsetenv("XDG_STATE_HOME");
  EXPECT_EQ(DefaultStateDirectory(), "/home/u/.local/state/neravox");
  const char *names[3] = {"NERAVOX_STATE_DIR", "XDG_STATE_HOME", "HOME"};
  for (int i = 0; i < 3; ++i) {
    if (saved[i]) setenv(names[i], keep[i].c_str(), 1);
    else unsetenv(names[i]);
  }
}
