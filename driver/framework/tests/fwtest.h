/* Helpers shared by the framework's tests. */
#pragma once

#include <kplatform.h>
#include <nt/debug.h>
#include <nt/pool.h>
#include <nt/system.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

/* A fresh system per test. */
class SystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(nt::Boot(BootOptions()), STATUS_SUCCESS);
    nt::debug::Clear();
  }
  void TearDown() override {
    nt::pool::ClearFaults();
    nt::Shutdown();
  }
  virtual nt::BootOptions BootOptions() { return {}; }
};

inline std::string Narrow(const WCHAR *s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; i++) out.push_back((char)s[i]);
  return out;
}
inline std::string Narrow(PCUNICODE_STRING s) {
  return s->Buffer == nullptr ? std::string() : Narrow(s->Buffer, s->Length / sizeof(WCHAR));
}
inline std::string Narrow(PCWSTR s) {
  size_t n = 0;
  while (s[n] != 0) n++;
  return Narrow(s, n);
}

/* Assertion expressions reported since the last Clear(). */
inline std::vector<std::string> AssertionTexts() {
  std::vector<std::string> texts;
  for (const auto &a : nt::debug::Assertions()) texts.push_back(a.Expression);
  return texts;
}

inline bool HasAssertion(const std::string &Text) {
  for (const auto &a : nt::debug::Assertions())
    if (a.Expression == Text) return true;
  return false;
}
