/* Remove locks, with the final wait across real threads. */
#include <atomic>
#include <thread>

#include "io_test_driver.h"

using namespace iotest;

namespace {

using RemoveLock = IoTest;

TEST_F(RemoveLock, AcquireFailsOnceRemovalHasBegun) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0x6c726553, 0, 0);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, (PVOID)1), STATUS_SUCCESS);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, (PVOID)2), STATUS_SUCCESS);
  IoReleaseRemoveLock(&lock, (PVOID)2);
  IoReleaseRemoveLockAndWait(&lock, (PVOID)1); /* nothing else held: returns at once */
  EXPECT_TRUE(lock.Common.Removed);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, (PVOID)3), STATUS_DELETE_PENDING);
  EXPECT_EQ(lock.Common.IoCount, 0); /* the refused acquire left nothing held */
}

TEST_F(RemoveLock, ReleaseAndWaitWaitsForTheOtherHolders) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0x6c726553, 0, 0);
  ASSERT_EQ(IoAcquireRemoveLock(&lock, (PVOID)1), STATUS_SUCCESS);

  KEVENT holding, release;
  KeInitializeEvent(&holding, NotificationEvent, FALSE);
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  std::atomic<bool> released{false};
  std::thread holder([&] {
    EXPECT_EQ(IoAcquireRemoveLock(&lock, (PVOID)2), STATUS_SUCCESS);
    KeSetEvent(&holding, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(WaitLimit(&release), STATUS_WAIT_0);
    released = true;
    IoReleaseRemoveLock(&lock, (PVOID)2);
  });
  ASSERT_EQ(WaitLimit(&holding), STATUS_WAIT_0);

  std::atomic<bool> waitReturned{false};
  std::thread remover([&] {
    IoReleaseRemoveLockAndWait(&lock, (PVOID)1);
    EXPECT_TRUE(released) << "returned while another thread held the lock";
    waitReturned = true;
  });
  /* Once removal has begun, new acquires are refused while the holder keeps its own. */
  while (!__atomic_load_n(&lock.Common.Removed, __ATOMIC_ACQUIRE)) std::this_thread::yield();
  EXPECT_EQ(IoAcquireRemoveLock(&lock, (PVOID)3), STATUS_DELETE_PENDING);
  EXPECT_FALSE(waitReturned);
  KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
  holder.join();
  remover.join();
  EXPECT_TRUE(waitReturned);
}

TEST_F(RemoveLock, ReleasingMoreThanAcquiredStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        IO_REMOVE_LOCK lock;
        IoInitializeRemoveLock(&lock, 0, 0, 0);
        IoReleaseRemoveLockAndWait(&lock, NULL); /* never acquired */
      },
      "remove lock released more often than it was acquired");
}

}  // namespace
