/* Cancel-safe queues, with cancellation racing removal on real threads. */
#include <atomic>
#include <thread>

#include "io_test_driver.h"

using namespace iotest;

namespace {

/* A driver's queue: a list under a spin lock, and a count of how each IRP
 * ended, so that completing one twice or never shows. */
struct Queue {
  IO_CSQ Csq;
  KSPIN_LOCK Lock;
  LIST_ENTRY Head;
  std::atomic<int> Cancelled{0};
  std::atomic<int> Inserted{0};
  NTSTATUS Refuse = STATUS_SUCCESS; /* the Ex insert's answer */

  static Queue *Of(PIO_CSQ Csq) { return CONTAINING_RECORD(Csq, Queue, Csq); }

  static VOID Insert(PIO_CSQ Csq, PIRP Irp) {
    InsertTailList(&Of(Csq)->Head, &Irp->Tail.Overlay.ListEntry);
    Of(Csq)->Inserted++;
  }
  static NTSTATUS InsertEx(PIO_CSQ Csq, PIRP Irp, PVOID InsertContext) {
    if (!NT_SUCCESS(Of(Csq)->Refuse)) return Of(Csq)->Refuse;
    Insert(Csq, Irp);
    return STATUS_SUCCESS;
  }
  static VOID Remove(PIO_CSQ Csq, PIRP Irp) { RemoveEntryList(&Irp->Tail.Overlay.ListEntry); }
  /* PeekContext: the major function wanted, or NULL for any. */
  static PIRP Peek(PIO_CSQ Csq, PIRP Irp, PVOID PeekContext) {
    PLIST_ENTRY head = &Of(Csq)->Head;
    for (PLIST_ENTRY e = Irp == NULL ? head->Flink : Irp->Tail.Overlay.ListEntry.Flink; e != head; e = e->Flink) {
      PIRP candidate = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
      if (PeekContext == NULL ||
          IoGetCurrentIrpStackLocation(candidate)->MajorFunction == (UCHAR)(ULONG_PTR)PeekContext)
        return candidate;
    }
    return NULL;
  }
  static VOID Acquire(PIO_CSQ Csq, PKIRQL Irql) { KeAcquireSpinLock(&Of(Csq)->Lock, Irql); }
  static VOID Release(PIO_CSQ Csq, KIRQL Irql) { KeReleaseSpinLock(&Of(Csq)->Lock, Irql); }
  static VOID CompleteCanceled(PIO_CSQ Csq, PIRP Irp) {
    Of(Csq)->Cancelled++;
    TestDriver::Complete(Irp, STATUS_CANCELLED);
  }

  explicit Queue(bool ex = false) {
    KeInitializeSpinLock(&Lock);
    InitializeListHead(&Head);
    if (ex)
      IoCsqInitializeEx(&Csq, InsertEx, Remove, Peek, Acquire, Release, CompleteCanceled);
    else
      IoCsqInitialize(&Csq, Insert, Remove, Peek, Acquire, Release, CompleteCanceled);
  }
};

/* IRPs built by the I/O manager to the one device, tracked until they end. */
class Csq : public IoTest {
 protected:
  struct Request {
    IO_STATUS_BLOCK Iosb = {};
    KEVENT Done;
    PIRP Irp = NULL;
  };

  PIRP Build(Request *r, PDEVICE_OBJECT device, UCHAR major = IRP_MJ_READ) {
    KeInitializeEvent(&r->Done, NotificationEvent, FALSE);
    IOP_REQUEST b;
    b.MajorFunction = major;
    b.DeviceObject = device;
    b.Event = &r->Done;
    b.Iosb = &r->Iosb;
    r->Irp = IopBuildRequest(b);
    return r->Irp;
  }
};

TEST_F(Csq, InsertThenRemoveByContextAndInOrder) {
  Queue q;
  TestDriver driver;
  std::vector<IO_CSQ_IRP_CONTEXT> contexts(3);
  int next = 0;
  PDEVICE_OBJECT device = driver.Create(NULL, [&](PDEVICE_OBJECT, PIRP Irp) {
    IoCsqInsertIrp(&q.Csq, Irp, &contexts[next++]);
    return STATUS_PENDING;
  });
  Request r[3];
  UCHAR majors[3] = {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_READ};
  for (int i = 0; i < 3; ++i) {
    ASSERT_NE(Build(&r[i], device, majors[i]), nullptr);
    EXPECT_EQ(IoCallDriver(device, r[i].Irp), STATUS_PENDING); /* the queue marked it pending */
  }
  EXPECT_EQ(contexts[1].Irp, r[1].Irp);
  EXPECT_EQ(contexts[1].Csq, &q.Csq);
  EXPECT_EQ(r[1].Irp->Tail.Overlay.DriverContext[3], &contexts[1]);
  EXPECT_NE(r[1].Irp->CancelRoutine, nullptr);

  /* By context. */
  EXPECT_EQ(IoCsqRemoveIrp(&q.Csq, &contexts[1]), r[1].Irp);
  EXPECT_EQ(contexts[1].Irp, nullptr);
  EXPECT_EQ(r[1].Irp->CancelRoutine, nullptr);
  EXPECT_EQ(IoCsqRemoveIrp(&q.Csq, &contexts[1]), nullptr); /* gone already */
  TestDriver::Complete(r[1].Irp, STATUS_SUCCESS);

  /* By peek context, first match first. */
  EXPECT_EQ(IoCsqRemoveNextIrp(&q.Csq, (PVOID)(ULONG_PTR)IRP_MJ_WRITE), nullptr);
  PIRP first = IoCsqRemoveNextIrp(&q.Csq, (PVOID)(ULONG_PTR)IRP_MJ_READ);
  EXPECT_EQ(first, r[0].Irp);
  EXPECT_EQ(contexts[0].Irp, nullptr);
  TestDriver::Complete(first, STATUS_SUCCESS);
  PIRP last = IoCsqRemoveNextIrp(&q.Csq, NULL);
  EXPECT_EQ(last, r[2].Irp);
  TestDriver::Complete(last, STATUS_SUCCESS);
  EXPECT_EQ(IoCsqRemoveNextIrp(&q.Csq, NULL), nullptr);
  for (auto &request : r) EXPECT_EQ(request.Iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(q.Cancelled, 0);
}

TEST_F(Csq, CancellingAQueuedIrpHandsItToCompleteCanceled) {
  Queue q;
  TestDriver driver;
  PDEVICE_OBJECT device = driver.Create(NULL, [&](PDEVICE_OBJECT, PIRP Irp) {
    IoCsqInsertIrp(&q.Csq, Irp, NULL); /* no context: DriverContext[3] names the queue */
    EXPECT_EQ(Irp->Tail.Overlay.DriverContext[3], &q.Csq);
    return STATUS_PENDING;
  });
  Request r;
  Build(&r, device);
  IopReferenceIrp(r.Irp);
  ASSERT_EQ(IoCallDriver(device, r.Irp), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(r.Irp));
  EXPECT_EQ(q.Cancelled, 1);
  EXPECT_EQ(r.Iosb.Status, STATUS_CANCELLED);
  EXPECT_TRUE(IsListEmpty(&q.Head));
  EXPECT_EQ(IoCsqRemoveNextIrp(&q.Csq, NULL), nullptr);
  IopDereferenceIrp(r.Irp);
}

TEST_F(Csq, AnIrpCancelledBeforeItIsQueuedIsCompletedAtOnce) {
  Queue q;
  TestDriver driver;
  PDEVICE_OBJECT device = driver.Create(NULL, [&](PDEVICE_OBJECT, PIRP Irp) {
    IO_CSQ_IRP_CONTEXT context;
    IoCsqInsertIrp(&q.Csq, Irp, &context);
    EXPECT_EQ(context.Irp, nullptr); /* taken out again */
    return STATUS_PENDING;
  });
  Request r;
  Build(&r, device);
  r.Irp->Cancel = TRUE; /* as IoCancelIrp leaves an IRP that had no cancel routine yet */
  ASSERT_EQ(IoCallDriver(device, r.Irp), STATUS_PENDING);
  EXPECT_EQ(q.Cancelled, 1);
  EXPECT_EQ(q.Inserted, 1);
  EXPECT_TRUE(IsListEmpty(&q.Head));
  EXPECT_EQ(KeReadStateEvent(&r.Done), 1);
  EXPECT_EQ(r.Iosb.Status, STATUS_CANCELLED);
}

TEST_F(Csq, ExInsertThatRefusesLeavesTheIrpToTheCaller) {
  Queue q(true);
  q.Refuse = STATUS_DEVICE_BUSY;
  TestDriver driver;
  PDEVICE_OBJECT device = driver.Create(NULL, [&](PDEVICE_OBJECT, PIRP Irp) {
    NTSTATUS status = IoCsqInsertIrpEx(&q.Csq, Irp, NULL, NULL);
    EXPECT_EQ(status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(Irp->CancelRoutine, nullptr);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED, 0);
    return TestDriver::Complete(Irp, status);
  });
  Request r;
  Build(&r, device);
  EXPECT_EQ(IoCallDriver(device, r.Irp), STATUS_DEVICE_BUSY);
  EXPECT_EQ(q.Inserted, 0);
  q.Refuse = STATUS_SUCCESS;
  Build(&r, device);
  /* Now accepted: the device handler above expects a refusal, so queue directly. */
  IoSetNextIrpStackLocation(r.Irp);
  IoGetCurrentIrpStackLocation(r.Irp)->DeviceObject = device;
  EXPECT_EQ(IoCsqInsertIrpEx(&q.Csq, r.Irp, NULL, NULL), STATUS_SUCCESS);
  PIRP back = IoCsqRemoveNextIrp(&q.Csq, NULL);
  EXPECT_EQ(back, r.Irp);
  TestDriver::Complete(back, STATUS_SUCCESS);
}

/* Cancellation from one thread racing removal from another: every IRP ends
 * exactly once, either cancelled or removed and completed. */
TEST_F(Csq, CancelRacingRemovalEndsEveryIrpOnce) {
  constexpr int kRounds = 300;
  Queue q;
  TestDriver driver;
  std::vector<IO_CSQ_IRP_CONTEXT> contexts(kRounds);
  std::atomic<int> next{0};
  PDEVICE_OBJECT device = driver.Create(NULL, [&](PDEVICE_OBJECT, PIRP Irp) {
    IoCsqInsertIrp(&q.Csq, Irp, &contexts[next++]);
    return STATUS_PENDING;
  });
  std::vector<Request> requests(kRounds);
  for (auto &r : requests) {
    ASSERT_NE(Build(&r, device), nullptr);
    IopReferenceIrp(r.Irp); /* the canceller may come after the IRP ended */
    ASSERT_EQ(IoCallDriver(device, r.Irp), STATUS_PENDING);
  }
  std::atomic<int> removed{0};
  std::atomic<bool> go{false};
  std::thread remover([&] {
    while (!go) std::this_thread::yield();
    for (int i = 0; i < kRounds; ++i) {
      /* Alternate the two ways of taking IRPs out. */
      PIRP irp = (i % 2) ? IoCsqRemoveIrp(&q.Csq, &contexts[i]) : IoCsqRemoveNextIrp(&q.Csq, NULL);
      if (irp != NULL) {
        removed++;
        TestDriver::Complete(irp, STATUS_SUCCESS);
      }
    }
  });
  std::thread canceller([&] {
    while (!go) std::this_thread::yield();
    for (auto &r : requests) IoCancelIrp(r.Irp);
  });
  go = true;
  remover.join();
  canceller.join();
  /* What the remover missed was cancelled; whatever is left is drained. */
  while (PIRP irp = IoCsqRemoveNextIrp(&q.Csq, NULL)) {
    removed++;
    TestDriver::Complete(irp, STATUS_SUCCESS);
  }
  EXPECT_EQ(removed + q.Cancelled, kRounds);
  int cancelled = 0, succeeded = 0;
  for (auto &r : requests) {
    ASSERT_EQ(WaitLimit(&r.Done), STATUS_WAIT_0);
    (r.Iosb.Status == STATUS_CANCELLED ? cancelled : succeeded)++;
    IopDereferenceIrp(r.Irp);
  }
  EXPECT_EQ(cancelled, q.Cancelled);
  EXPECT_EQ(succeeded, removed);
  EXPECT_TRUE(IsListEmpty(&q.Head));
}

}  // namespace
