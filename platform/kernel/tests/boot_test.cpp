#include <gtest/gtest.h>
#include <nt/system.h>

TEST(Boot, BootsOnceAndShutsDown) {
  ASSERT_EQ(nt::Boot(), STATUS_SUCCESS);
  EXPECT_TRUE(nt::IsBooted());
  EXPECT_EQ(nt::Boot(), STATUS_INVALID_DEVICE_STATE);
  nt::Shutdown();
  EXPECT_FALSE(nt::IsBooted());
  ASSERT_EQ(nt::Boot(), STATUS_SUCCESS);
  nt::Shutdown();
}

TEST(Layout, BaseTypesFollowLLP64) {
  EXPECT_EQ(sizeof(ULONG), 4u);
  EXPECT_EQ(sizeof(LONG), 4u);
  EXPECT_EQ(sizeof(ULONG_PTR), 8u);
  EXPECT_EQ(sizeof(WCHAR), 2u);
  EXPECT_EQ(sizeof(UNICODE_STRING), 16u);
  EXPECT_EQ(offsetof(UNICODE_STRING, Buffer), 8u);
  EXPECT_EQ(sizeof(LIST_ENTRY), 16u);
  EXPECT_EQ(sizeof(KDPC), 64u);
}
