/* The byte ring: its full and empty rules, the wrap, and a ring without
   storage. */
#include "fwtest.h"

#include <circularbuffer.h>
#include <nt/debug.h>

#include <string>

namespace {

class Ring : public SystemTest {
 protected:
  void SetUp() override {
    SystemTest::SetUp();
    ASSERT_EQ(InitializeCircularBuffer(&m_Ring, 4096), STATUS_SUCCESS);
  }
  void TearDown() override {
    FreeCircularBuffer(&m_Ring);
    SystemTest::TearDown();
  }
  CircularBuffer m_Ring{};
};

TEST_F(Ring, HoldsOneByteLessThanItsLength) {
  EXPECT_TRUE(IsCircularBufferEmpty(&m_Ring));
  EXPECT_EQ(GetCircularBufferCount(&m_Ring), 0u);
  for (ULONG i = 0; i < 4095; ++i) ASSERT_EQ(WriteCircularBuffer(&m_Ring, (UCHAR)i), STATUS_SUCCESS) << i;
  EXPECT_EQ(GetCircularBufferCount(&m_Ring), 4095u);
  EXPECT_EQ(WriteCircularBuffer(&m_Ring, 0xEE), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(GetCircularBufferWriteIndex(&m_Ring), 4095u);
  UCHAR b = 0;
  ASSERT_EQ(ReadCircularBuffer(&m_Ring, &b), STATUS_SUCCESS);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(WriteCircularBuffer(&m_Ring, 0xEE), STATUS_SUCCESS);
  EXPECT_EQ(GetCircularBufferWriteIndex(&m_Ring), 0u); /* wrapped */
}

TEST_F(Ring, CountsAcrossTheWrapAndKeepsTheOrder) {
  m_Ring.ReadIndex = 4000;
  m_Ring.WriteIndex = 10;
  EXPECT_EQ(GetCircularBufferCount(&m_Ring), 106u);

  m_Ring.ReadIndex = m_Ring.WriteIndex = 4090;
  std::string in;
  for (int i = 0; i < 20; ++i) {
    in.push_back((char)('a' + i));
    ASSERT_EQ(WriteCircularBuffer(&m_Ring, (UCHAR)in.back()), STATUS_SUCCESS);
  }
  std::string out;
  UCHAR b;
  while (ReadCircularBuffer(&m_Ring, &b) == STATUS_SUCCESS) out.push_back((char)b);
  EXPECT_EQ(out, in);
  EXPECT_EQ(m_Ring.ReadIndex, 14u);
}

TEST_F(Ring, EmptyRingGivesNothingAndLeavesTheByte) {
  UCHAR b = 0x5A;
  EXPECT_EQ(ReadCircularBuffer(&m_Ring, &b), STATUS_ARRAY_BOUNDS_EXCEEDED);
  EXPECT_EQ(b, 0x5A);
}

TEST_F(Ring, DiscardTakesWhatWasStored) {
  for (int i = 0; i < 7; ++i) WriteCircularBuffer(&m_Ring, 1);
  DiscardCircularBuffer(&m_Ring);
  EXPECT_TRUE(IsCircularBufferEmpty(&m_Ring));
  EXPECT_EQ(WriteCircularBuffer(&m_Ring, 9), STATUS_SUCCESS);
  UCHAR b = 0;
  ASSERT_EQ(ReadCircularBuffer(&m_Ring, &b), STATUS_SUCCESS);
  EXPECT_EQ(b, 9);
}

/* A ring whose storage could not be had: every operation is safe. */
TEST_F(Ring, WithoutStorageEveryOperationIsSafe) {
  CircularBuffer none{};
  nt::pool::FailNth(1);
  EXPECT_EQ(InitializeCircularBuffer(&none, 4096), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(none.Buffer, nullptr);
  EXPECT_TRUE(IsCircularBufferEmpty(&none));
  EXPECT_EQ(GetCircularBufferCount(&none), 0u);
  EXPECT_EQ(WriteCircularBuffer(&none, 1), STATUS_BUFFER_TOO_SMALL);
  UCHAR b = 0x11;
  EXPECT_EQ(ReadCircularBuffer(&none, &b), STATUS_ARRAY_BOUNDS_EXCEEDED);
  EXPECT_EQ(b, 0x11);
  DiscardCircularBuffer(&none);
  EXPECT_EQ(FreeCircularBuffer(&none), STATUS_SUCCESS);
  /* Storing and taking without storage are caller errors. */
  EXPECT_FALSE(nt::debug::Assertions().empty());
  EXPECT_EQ(nt::debug::Assertions().front().Expression, "pBuffer->Length");
}

}  // namespace
