/* The PnP device base through the system's PnP and I/O managers: the state
   table request by request, the gate's holding and failing, the request
   count, the waits of query-remove and remove, power pass-through, and the
   removal racing the last close. */
#include "pnp_fixture.h"

using namespace pnptest;

DECLARE_KDRIVER(pnptest::TestPnpDriver)

namespace {

constexpr ULONG kAllBits = KPNP_STOP_PENDING | KPNP_REMOVE_PENDING | KPNP_REMOVED | KPNP_STARTED | KPNP_REMOVING |
                           KPNP_SURPRISE_REMOVED;

class PnpDeviceTest : public PnpTest {
 protected:
  void StartOne() {
    StartBus(1);
    m_Device = DeviceAbove(m_Children[0]);
    ASSERT_NE(m_Device, nullptr);
    m_Pdo = m_Children[0];
  }
  PUNICODE_STRING Interface() { return &m_Device->FirstInterface()->SymbolicLinkName; }
  nt::pnp::Result SendPnp(UCHAR Minor) { return nt::pnp::Send(m_Pdo, IRP_MJ_PNP, Minor); }

  TestPnpDevice *m_Device = nullptr;
  PDEVICE_OBJECT m_Pdo = nullptr;
};

TEST_F(PnpDeviceTest, StartedDeviceIsIdleWithItsInterfaceEnabled) {
  StartOne();
  EXPECT_EQ(m_Device->PnpState() & kAllBits, (ULONG)KPNP_STARTED);
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);
  EXPECT_EQ(m_Device->OpenHandles(), 0);
  EXPECT_EQ(m_Counters->Start, 1);
  EXPECT_TRUE(m_Device->IsPnpDevice());
  ASSERT_NE(m_Device->FirstInterface(), nullptr);
  EXPECT_EQ(m_Device->NextInterface(m_Device->FirstInterface()), nullptr);
  EXPECT_TRUE(InterfaceEnabled(Interface()));
  EXPECT_EQ(m_Device->Policies().General, 0x7Fu);
  EXPECT_EQ(m_Device->Policies().Hold, 0xDFu);
  EXPECT_EQ(m_Device->Policies().QueryRemove, 0x15u);
  EXPECT_TRUE(nt::debug::Assertions().empty());
}

TEST_F(PnpDeviceTest, StartFailedBelowCallsNoHookAndLeavesTheInterfaceDisabled) {
  StartOne();
  ASSERT_EQ(nt::pnp::Stop(m_Pdo), STATUS_SUCCESS);
  ASSERT_FALSE(InterfaceEnabled(Interface()));
  m_Bus->FailStart = STATUS_DEVICE_NOT_READY;
  ClearLog();

  EXPECT_EQ(SendPnp(IRP_MN_START_DEVICE).Status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(MinorsSeen(IRP_MJ_PNP), std::vector<UCHAR>{IRP_MN_START_DEVICE}) << "passed down before the hook";
  EXPECT_EQ(m_Counters->Start, 1) << "the hook is not called";
  EXPECT_EQ(m_Device->PnpState() & kAllBits, 0u);
  EXPECT_FALSE(InterfaceEnabled(Interface()));
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);

  /* The PnP manager's own start fails the same way and takes the stack
     down again. */
  EXPECT_EQ(nt::pnp::Start(m_Pdo), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(m_Counters->Start, 1);
  EXPECT_EQ(m_Counters->Destroyed, 1);
  EXPECT_EQ(DeviceAbove(m_Pdo), nullptr);
}

TEST_F(PnpDeviceTest, AnInterfaceThatCannotBeRegisteredFailsTheConstruction) {
  constexpr ULONG kIoInterfaceTag = 0x66496f49; /* the I/O manager's interface names */
  nt::pool::FailTag(kIoInterfaceTag);
  StartBus(1);
  nt::pnp::DeviceInfo info;
  ASSERT_TRUE(nt::pnp::GetDevice(m_Children[0], &info));
  EXPECT_EQ(info.State, nt::pnp::DeviceState::StartFailed);
  EXPECT_EQ(info.LastStatus, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(DeviceAbove(m_Children[0]), nullptr);
  EXPECT_EQ(m_Driver->DeviceObject, nullptr) << "no device object left";
  EXPECT_EQ(m_Counters->Destroyed, 1);

  nt::pool::ClearFaults();
  ASSERT_EQ(nt::pnp::Start(m_Children[0]), STATUS_SUCCESS);
  ASSERT_NE(DeviceAbove(m_Children[0]), nullptr);
  ASSERT_EQ(nt::pnp::Remove(m_Children[0]), STATUS_SUCCESS);
  nt::UnloadReport report;
  ASSERT_EQ(nt::UnloadDriver(kDriverName, &report), STATUS_SUCCESS);
  EXPECT_TRUE(report.Empty()) << report.Text();
}

TEST_F(PnpDeviceTest, StopPassesDownOnlyWhenStarted) {
  StartOne();
  ASSERT_EQ(nt::pnp::Stop(m_Pdo), STATUS_SUCCESS);
  EXPECT_EQ(MinorsSeen(IRP_MJ_PNP), (std::vector<UCHAR>{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}));
  EXPECT_EQ(m_Device->PnpState() & kAllBits, 0u);
  EXPECT_FALSE(InterfaceEnabled(Interface()));
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);

  /* Not started: completed here with success, not passed down. */
  ClearLog();
  EXPECT_EQ(SendPnp(IRP_MN_STOP_DEVICE).Status, STATUS_SUCCESS);
  EXPECT_TRUE(MinorsSeen(IRP_MJ_PNP).empty());
  EXPECT_EQ(m_Counters->Stop, 2);
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);

  ASSERT_EQ(nt::pnp::Start(m_Pdo), STATUS_SUCCESS);
  EXPECT_EQ(m_Device->PnpState() & kAllBits, (ULONG)KPNP_STARTED);
  EXPECT_TRUE(InterfaceEnabled(Interface()));
  EXPECT_EQ(m_Counters->Start, 2);
}

TEST_F(PnpDeviceTest, QueryStopIsRefusedWithAHandleOpenAndWithARequestInProgress) {
  StartOne();
  HANDLE h = Open();
  EXPECT_EQ(nt::pnp::QueryStop(m_Pdo), STATUS_DEVICE_BUSY);
  EXPECT_EQ(m_Counters->QueryStop, 0);
  EXPECT_EQ(m_Device->PnpState() & kAllBits, (ULONG)KPNP_STARTED);
  EXPECT_EQ(nt::pnp::QueryRemove(m_Pdo), STATUS_DEVICE_BUSY);
  EXPECT_EQ(m_Counters->QueryRemove, 0);
  EXPECT_EQ(m_Device->PnpState() & kAllBits, (ULONG)KPNP_STARTED);
  EXPECT_EQ(nt::io::Close(h), STATUS_SUCCESS);
  EXPECT_EQ(m_Device->OpenHandles(), 0);

  m_Bus->KeepControls = true;
  PDEVICE_OBJECT top = m_Device->DeviceObject();
  NTSTATUS controlStatus = STATUS_PENDING;
  std::thread control([&] { controlStatus = KernelControl(top, IOCTL_PNPTEST_LOWER); });
  ASSERT_EQ(WaitKept(1).size(), 1u);
  EXPECT_EQ(m_Device->OutstandingRequests(), 2);
  EXPECT_EQ(nt::pnp::QueryStop(m_Pdo), STATUS_DEVICE_BUSY);
  EXPECT_EQ(m_Counters->QueryStop, 0);
  CompleteKept();
  control.join();
  EXPECT_EQ(controlStatus, STATUS_SUCCESS);
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);
  EXPECT_TRUE(MinorsSeen(IRP_MJ_PNP).empty()) << "refused queries are not passed down";

  EXPECT_EQ(nt::pnp::QueryStop(m_Pdo), STATUS_SUCCESS);
  EXPECT_EQ(m_Device->PnpState() & kAllBits, (ULONG)(KPNP_STARTED | KPNP_STOP_PENDING));
  EXPECT_EQ(nt::pnp::CancelStop(m_Pdo), STATUS_SUCCESS);
  EXPECT_EQ(m_Device->PnpState() & kAllBits, (ULONG)KPNP_STARTED);
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);
}

TEST_F(PnpDeviceTest, QueryRemoveWaitsForTheRequestKeptBelowOnAnotherThread) {
  StartOne();
  m_Bus->KeepControls = true;
  PDEVICE_OBJECT top = m_Device->DeviceObject();
  NTSTATUS controlStatus = STATUS_PENDING;
  std::thread control([&] { controlStatus = KernelControl(top, IOCTL_PNPTEST_LOWER); });
  ASSERT_EQ(WaitKept(1).size(), 1u);

  std::atomic<bool> queried{false};
  NTSTATUS queryStatus = STATUS_PENDING;
  std::thread query([&] {
    queryStatus = nt::pnp::QueryRemove(m_Pdo);
    queried = true;
  });
  /* The query's own count is released before it waits: device, control. */
  ASSERT_TRUE(WaitUntil([&] { return m_Counters->QueryRemove == 1 && m_Device->OutstandingRequests() == 2; }));
  EXPECT_TRUE(m_Device->PnpState() & KPNP_REMOVE_PENDING);
  EXPECT_FALSE(queried);
  EXPECT_TRUE(MinorsSeen(IRP_MJ_PNP).empty()) << "not passed down before the requests are drained";

  CompleteKept();
  control.join();
  query.join();
  EXPECT_EQ(controlStatus, STATUS_SUCCESS);
  EXPECT_EQ(queryStatus, STATUS_SUCCESS);
  EXPECT_EQ(MinorsSeen(IRP_MJ_PNP), std::vector<UCHAR>{IRP_MN_QUERY_REMOVE_DEVICE});
  EXPECT_EQ(m_Device->OutstandingRequests(), 1) << "the query's count is released once";

  EXPECT_EQ(nt::pnp::CancelRemove(m_Pdo), STATUS_SUCCESS);
  EXPECT_EQ(m_Device->PnpState() & kAllBits, (ULONG)KPNP_STARTED);
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);
}

TEST_F(PnpDeviceTest, QueryRemoveCancelsTheDeviceQueue) {
  StartOne();
  PDEVICE_OBJECT top = m_Device->DeviceObject();
  NTSTATUS results[3] = {STATUS_PENDING, STATUS_PENDING, STATUS_PENDING};
  std::vector<std::thread> controls;
  for (int i = 0; i < 3; i++) {
    controls.emplace_back([&, i] { results[i] = KernelControl(top, IOCTL_PNPTEST_QUEUE); });
    ASSERT_TRUE(WaitUntil([&] { return m_Device->OutstandingRequests() == 2 + i; }));
  }
  NTSTATUS queryStatus = STATUS_PENDING;
  std::thread query([&] { queryStatus = nt::pnp::QueryRemove(m_Pdo); });
  /* The two queued ones are cancelled; the one the queue handed out stays
     in progress, and the query waits for it. */
  ASSERT_TRUE(WaitUntil([&] { return m_Device->OutstandingRequests() == 2 && m_Counters->QueryRemove == 1; }));
  PIRP busy = m_Device->TakeBusy();
  ASSERT_NE(busy, nullptr);
  KeRemoveDeviceQueue(&top->DeviceQueue);
  KIrp(busy).PnpComplete(m_Device, STATUS_SUCCESS);
  query.join();
  for (auto &t : controls) t.join();
  EXPECT_EQ(queryStatus, STATUS_SUCCESS);
  int cancelled = 0, succeeded = 0;
  for (NTSTATUS s : results) {
    cancelled += s == STATUS_CANCELLED;
    succeeded += s == STATUS_SUCCESS;
  }
  EXPECT_EQ(cancelled, 2);
  EXPECT_EQ(succeeded, 1);
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);
  EXPECT_EQ(nt::pnp::CancelRemove(m_Pdo), STATUS_SUCCESS);
}

/* A pending query holds ordinary requests; its cancel sends them through
   the gate again, in order. */
struct QueryAndCancel {
  const char *Name;
  NTSTATUS (*Query)(PDEVICE_OBJECT);
  NTSTATUS (*Cancel)(PDEVICE_OBJECT);
  ULONG PendingBit;
};
const QueryAndCancel kQueries[] = {
    {"stop", nt::pnp::QueryStop, nt::pnp::CancelStop, KPNP_STOP_PENDING},
    {"remove", nt::pnp::QueryRemove, nt::pnp::CancelRemove, KPNP_REMOVE_PENDING},
};

TEST_F(PnpDeviceTest, CancelOfAPendingQueryDispatchesTheHeldRequestsAgain) {
  StartOne();
  for (const auto &q : kQueries) {
    SCOPED_TRACE(q.Name);
    m_Counters->Handled.clear();
    ASSERT_EQ(q.Query(m_Pdo), STATUS_SUCCESS);
    EXPECT_TRUE(m_Device->PnpState() & q.PendingBit);
    HANDLE h = Open(); /* opening is not held */
    Pending reads[3];
    for (ULONG i = 0; i < 3; i++) {
      StartRead(h, &reads[i], i + 1);
      EXPECT_EQ(reads[i].Returned, STATUS_PENDING);
    }
    EXPECT_TRUE(Handled().empty());
    EXPECT_EQ(m_Device->OutstandingRequests(), 1) << "held requests hold no count";

    ASSERT_EQ(q.Cancel(m_Pdo), STATUS_SUCCESS);
    for (auto &r : reads) {
      ASSERT_TRUE(r.Wait());
      EXPECT_EQ(r.Status.Status, STATUS_SUCCESS);
    }
    EXPECT_EQ(Handled(), (std::vector<ULONG>{1, 2, 3}));
    EXPECT_EQ(m_Device->PnpState() & kAllBits, (ULONG)KPNP_STARTED);
    EXPECT_EQ(m_Device->OutstandingRequests(), 1);
    EXPECT_EQ(nt::io::Close(h), STATUS_SUCCESS);
  }
}

TEST_F(PnpDeviceTest, RequestsHeldWhileStoppedStayHeldAfterTheRestartUntilCancelled) {
  StartOne();
  ASSERT_EQ(nt::pnp::Stop(m_Pdo), STATUS_SUCCESS);
  HANDLE h = Open();
  Pending read;
  StartRead(h, &read);
  EXPECT_EQ(read.Returned, STATUS_PENDING);
  ASSERT_EQ(nt::pnp::Start(m_Pdo), STATUS_SUCCESS);
  EXPECT_FALSE(read.Done()) << "starting releases nothing";

  EXPECT_EQ(nt::io::CancelIoEx(h), STATUS_SUCCESS);
  ASSERT_TRUE(read.Wait());
  EXPECT_EQ(read.Status.Status, STATUS_CANCELLED);
  EXPECT_EQ(read.Status.Information, 0u);
  EXPECT_TRUE(Handled().empty());
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);
  EXPECT_EQ(nt::io::Close(h), STATUS_SUCCESS);
}

TEST_F(PnpDeviceTest, CleanupCancelsOnlyItsOwnHeldRequestsAndTheOthersKeepTheirOrder) {
  StartOne();
  ASSERT_EQ(nt::pnp::Stop(m_Pdo), STATUS_SUCCESS);
  HANDLE a = Open(), b = Open();
  Pending a1, b1, a2, b2;
  StartRead(a, &a1, 1);
  StartRead(b, &b1, 2);
  StartRead(a, &a2, 3);
  StartRead(b, &b2, 4);
  for (Pending *p : {&a1, &b1, &a2, &b2}) EXPECT_EQ(p->Returned, STATUS_PENDING);

  EXPECT_EQ(nt::io::Close(a), STATUS_SUCCESS);
  for (Pending *p : {&a1, &a2}) {
    ASSERT_TRUE(p->Wait());
    EXPECT_EQ(p->Status.Status, STATUS_CANCELLED);
    EXPECT_EQ(p->Status.Information, 0u);
  }
  EXPECT_FALSE(b1.Done());
  EXPECT_FALSE(b2.Done());

  ASSERT_EQ(nt::pnp::Start(m_Pdo), STATUS_SUCCESS);
  m_Device->ReleaseHeldRequests(FALSE);
  for (Pending *p : {&b1, &b2}) {
    ASSERT_TRUE(p->Wait());
    EXPECT_EQ(p->Status.Status, STATUS_SUCCESS);
  }
  EXPECT_EQ(Handled(), (std::vector<ULONG>{2, 4}));
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);
  EXPECT_EQ(nt::io::Close(b), STATUS_SUCCESS);
}

TEST_F(PnpDeviceTest, ReleasePassEndsWhenTheGateHoldsTheRequestsAgain) {
  StartOne();
  ASSERT_EQ(nt::pnp::Stop(m_Pdo), STATUS_SUCCESS);
  HANDLE h = Open();
  Pending reads[2];
  StartRead(h, &reads[0], 5);
  StartRead(h, &reads[1], 6);
  /* Not started: each request dispatched again is held again. */
  m_Device->ReleaseHeldRequests(FALSE);
  EXPECT_FALSE(reads[0].Done());
  EXPECT_FALSE(reads[1].Done());
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);

  ASSERT_EQ(nt::pnp::Start(m_Pdo), STATUS_SUCCESS);
  m_Device->ReleaseHeldRequests(FALSE);
  for (auto &r : reads) ASSERT_TRUE(r.Wait());
  EXPECT_EQ(Handled(), (std::vector<ULONG>{5, 6})) << "still in their order";
  EXPECT_EQ(nt::io::Close(h), STATUS_SUCCESS);
}

TEST_F(PnpDeviceTest, SurpriseRemovalFailsHeldAndNewRequestsThenRemoveDestroys) {
  StartOne();
  ASSERT_EQ(nt::pnp::Stop(m_Pdo), STATUS_SUCCESS);
  HANDLE h = Open();
  Pending held[2];
  for (auto &p : held) StartRead(h, &p);
  ClearLog();

  EXPECT_EQ(SendPnp(IRP_MN_SURPRISE_REMOVAL).Status, STATUS_SUCCESS);
  for (auto &p : held) {
    ASSERT_TRUE(p.Wait());
    EXPECT_EQ(p.Status.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(p.Status.Information, 0u);
  }
  EXPECT_EQ(MinorsSeen(IRP_MJ_PNP), std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL});
  EXPECT_EQ(m_Device->PnpState() & kAllBits, (ULONG)KPNP_SURPRISE_REMOVED);
  EXPECT_EQ(m_Counters->Surprise, 1);

  Pending late;
  StartRead(h, &late);
  EXPECT_EQ(late.Returned, STATUS_DELETE_PENDING);
  HANDLE second = nullptr;
  EXPECT_EQ(nt::io::Open("\\Device\\NvPnpDevice0", &second), STATUS_DELETE_PENDING);
  EXPECT_EQ(nt::pnp::Send(m_Pdo, IRP_MJ_POWER, IRP_MN_QUERY_POWER).Status, STATUS_DELETE_PENDING);
  EXPECT_EQ(SendPnp(IRP_MN_QUERY_CAPABILITIES).Status, STATUS_DELETE_PENDING);
  EXPECT_EQ(nt::pnp::Send(m_Pdo, IRP_MJ_SYSTEM_CONTROL, 0).Status, STATUS_DELETE_PENDING);
  EXPECT_EQ(MinorsSeen(IRP_MJ_PNP).size(), 1u);
  EXPECT_TRUE(MinorsSeen(IRP_MJ_POWER).empty());
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);

  EXPECT_EQ(nt::io::Close(h), STATUS_SUCCESS);
  EXPECT_EQ(m_Counters->Destroyed, 0) << "not removed yet";
  EXPECT_EQ(SendPnp(IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
  EXPECT_EQ(m_Counters->Remove, 1);
  EXPECT_EQ(m_Counters->Destroyed, 1);
  EXPECT_EQ(DeviceAbove(m_Pdo), nullptr);
}

TEST_F(PnpDeviceTest, SurpriseRemovalKeepsTheInterfaceUntilTheRemoval) {
  StartOne();
  /* The name outlives the object. */
  PUNICODE_STRING link = Interface();
  std::vector<WCHAR> chars(link->Buffer, link->Buffer + link->Length / sizeof(WCHAR));
  UNICODE_STRING name{link->Length, link->Length, chars.data()};
  ASSERT_TRUE(InterfaceEnabled(&name));

  EXPECT_EQ(SendPnp(IRP_MN_SURPRISE_REMOVAL).Status, STATUS_SUCCESS);
  EXPECT_TRUE(InterfaceEnabled(&name));
  EXPECT_EQ(m_Device->PnpState() & kAllBits, (ULONG)KPNP_SURPRISE_REMOVED);
  EXPECT_EQ(SendPnp(IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
  EXPECT_EQ(m_Counters->Surprise, 1);
  EXPECT_EQ(m_Counters->Remove, 1);
  EXPECT_EQ(m_Counters->Destroyed, 1);
  EXPECT_FALSE(InterfaceEnabled(&name));

}

TEST_F(PnpDeviceTest, RemoveWithAHandleOpenLeavesTheObjectToTheLastClose) {
  StartOne();
  HANDLE h = Open();
  ClearLog();
  EXPECT_EQ(SendPnp(IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
  EXPECT_EQ(MinorsSeen(IRP_MJ_PNP), std::vector<UCHAR>{IRP_MN_REMOVE_DEVICE});
  EXPECT_EQ(m_Counters->Destroyed, 0);
  EXPECT_EQ(DeviceAbove(m_Pdo), nullptr) << "detached";
  EXPECT_EQ(m_Device->LowerDevice(), nullptr);
  EXPECT_EQ(m_Device->OutstandingRequests(), 0);
  EXPECT_EQ(m_Device->PnpState() & kAllBits, (ULONG)KPNP_REMOVED);
  EXPECT_FALSE(InterfaceEnabled(Interface()));

  Pending read;
  StartRead(h, &read);
  EXPECT_EQ(read.Returned, STATUS_DELETE_PENDING);
  EXPECT_EQ(m_Counters->Destroyed, 0);
  EXPECT_EQ(nt::io::Close(h), STATUS_SUCCESS);
  EXPECT_EQ(m_Counters->Destroyed, 1);
}

TEST_F(PnpDeviceTest, ACloseDuringTheRemovalLeavesTheDestructionToTheRemoval) {
  StartOne();
  HANDLE h = Open();
  std::mutex lock;
  std::condition_variable changed;
  bool inRemove = false, closed = false;
  g_Behaviour.OnRemoveHook = [&] {
    std::unique_lock<std::mutex> l(lock);
    inRemove = true;
    changed.notify_all();
    changed.wait_for(l, kLimit, [&] { return closed; });
  };
  std::thread removal([&] { EXPECT_EQ(SendPnp(IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS); });
  {
    std::unique_lock<std::mutex> l(lock);
    ASSERT_TRUE(changed.wait_for(l, kLimit, [&] { return inRemove; }));
  }
  EXPECT_TRUE(m_Device->PnpState() & KPNP_REMOVING);
  EXPECT_EQ(nt::io::Close(h), STATUS_SUCCESS);
  EXPECT_EQ(m_Counters->Destroyed, 0) << "a close while Removing is set destroys nothing";
  {
    std::lock_guard<std::mutex> l(lock);
    closed = true;
    changed.notify_all();
  }
  removal.join();
  EXPECT_EQ(m_Counters->Destroyed, 1);
}

TEST_F(PnpDeviceTest, TheLastCloseRacingTheRemovalDestroysTheObjectExactlyOnce) {
  constexpr ULONG kRounds = 8;
  StartBus(kRounds);
  for (ULONG i = 0; i < kRounds; i++) {
    SCOPED_TRACE(i);
    PDEVICE_OBJECT pdo = m_Children[i];
    TestPnpDevice *device = DeviceAbove(pdo);
    ASSERT_NE(device, nullptr);
    HANDLE h = Open(device->Unit());
    std::atomic<int> ready{0};
    auto together = [&] {
      ready++;
      WaitUntil([&] { return ready == 2; });
    };
    std::thread removal([&] {
      together();
      EXPECT_EQ(nt::pnp::Send(pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    });
    std::thread close([&] {
      together();
      EXPECT_EQ(nt::io::Close(h), STATUS_SUCCESS);
    });
    removal.join();
    close.join();
    EXPECT_EQ(m_Counters->Destroyed, (int)i + 1);
    EXPECT_EQ(DeviceAbove(pdo), nullptr);
  }
}

TEST_F(PnpDeviceTest, EveryMinorCodeAndGateBranchReleasesItsCountOnce) {
  StartOne();
  auto idle = [&](const char *step) {
    EXPECT_EQ(m_Device->OutstandingRequests(), 1) << step;
    EXPECT_TRUE(m_Device->PnpState() & KPNP_STARTED) << step;
  };
  /* Minor codes that only have a hook (or none), passed down by
     DefaultPnp. */
  struct Minor {
    UCHAR Code;
    bool Asserts;
  };
  const Minor minors[] = {{IRP_MN_QUERY_DEVICE_RELATIONS, false},
                          {IRP_MN_QUERY_INTERFACE, false},
                          {IRP_MN_QUERY_CAPABILITIES, false},
                          {IRP_MN_QUERY_RESOURCES, false},
                          {IRP_MN_QUERY_RESOURCE_REQUIREMENTS, false},
                          {IRP_MN_FILTER_RESOURCE_REQUIREMENTS, false},
                          {IRP_MN_READ_CONFIG, false},
                          {IRP_MN_WRITE_CONFIG, false},
                          {IRP_MN_EJECT, false},
                          {IRP_MN_SET_LOCK, false},
                          {IRP_MN_QUERY_BUS_INFORMATION, false},
                          {IRP_MN_DEVICE_USAGE_NOTIFICATION, false},
                          {0x87, false},
                          {0x18, false},
                          {0xFF, false},
                          {0x0E, true},
                          {0x19, true}};
  for (const auto &m : minors) {
    SCOPED_TRACE((int)m.Code);
    size_t assertions = nt::debug::Assertions().size();
    int defaults = m_Counters->DefaultPnp;
    ClearLog();
    SendPnp(m.Code);
    EXPECT_EQ(MinorsSeen(IRP_MJ_PNP), std::vector<UCHAR>{m.Code}) << "passed down";
    EXPECT_EQ(m_Counters->DefaultPnp, defaults + 1);
    EXPECT_EQ(nt::debug::Assertions().size(), assertions + (m.Asserts ? 1 : 0));
    if (m.Asserts) {
      EXPECT_EQ(nt::debug::Assertions().back().Expression, "(Minor==0xFF) || (Minor==0x18)");
      EXPECT_EQ(nt::debug::Assertions().back().File, "kpnpdev");
      EXPECT_EQ(nt::debug::Assertions().back().Line, 1048u);
    }
    idle("minor");
  }
  /* The PDO answers IRP_MN_QUERY_ID with a string the caller frees. */
  IO_STACK_LOCATION id{};
  id.Parameters.QueryId.IdType = BusQueryDeviceID;
  nt::pnp::Result r = nt::pnp::Send(m_Pdo, IRP_MJ_PNP, IRP_MN_QUERY_ID, &id);
  EXPECT_EQ(r.Status, STATUS_SUCCESS);
  if (r.Information != 0) ExFreePool((PVOID)r.Information);
  idle("query id");
  EXPECT_EQ(SendPnp(IRP_MN_QUERY_PNP_DEVICE_STATE).Status, STATUS_NOT_SUPPORTED) << "passed down, status kept";
  EXPECT_EQ(m_Counters->QueryState, 1);
  idle("query state");
  EXPECT_EQ(nt::pnp::SetPower(m_Pdo, PowerDeviceD0), STATUS_SUCCESS);
  idle("power");
  nt::pnp::Send(m_Pdo, IRP_MJ_SYSTEM_CONTROL, 0);
  idle("system control");

  /* The gate's branches for ordinary requests. */
  HANDLE h = Open();
  EXPECT_EQ(m_Device->OpenHandles(), 1);
  idle("create");
  UCHAR buffer[2];
  IO_STATUS_BLOCK iosb;
  EXPECT_EQ(nt::io::Read(h, buffer, 1, &iosb), STATUS_SUCCESS);
  idle("read");
  EXPECT_EQ(nt::io::DeviceIoControl(h, IOCTL_PNPTEST_LOWER, nullptr, 0, nullptr, 0, &iosb), STATUS_SUCCESS);
  idle("control passed below");
  EXPECT_EQ(nt::pnp::QueryStop(m_Pdo), STATUS_DEVICE_BUSY);
  idle("refused query-stop");
  EXPECT_EQ(nt::pnp::QueryRemove(m_Pdo), STATUS_DEVICE_BUSY);
  idle("refused query-remove");
  EXPECT_EQ(nt::io::Close(h), STATUS_SUCCESS);
  EXPECT_EQ(m_Device->OpenHandles(), 0);
  idle("cleanup and close");

  ASSERT_EQ(nt::pnp::QueryStop(m_Pdo), STATUS_SUCCESS);
  h = Open();
  Pending held, cancelled;
  StartRead(h, &held);
  StartRead(h, &cancelled);
  EXPECT_EQ(m_Device->OutstandingRequests(), 1) << "held";
  EXPECT_EQ(nt::io::CancelIoEx(h, &cancelled.Status), STATUS_SUCCESS);
  ASSERT_TRUE(cancelled.Wait());
  EXPECT_EQ(cancelled.Status.Status, STATUS_CANCELLED);
  EXPECT_EQ(nt::pnp::CancelStop(m_Pdo), STATUS_SUCCESS);
  ASSERT_TRUE(held.Wait());
  idle("held, cancelled, released");
  EXPECT_EQ(nt::io::Close(h), STATUS_SUCCESS);

  ASSERT_EQ(nt::pnp::QueryRemove(m_Pdo), STATUS_SUCCESS);
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);
  ASSERT_EQ(nt::pnp::CancelRemove(m_Pdo), STATUS_SUCCESS);
  idle("query-remove, cancel-remove");
  ASSERT_EQ(nt::pnp::Stop(m_Pdo), STATUS_SUCCESS);
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);
  EXPECT_EQ(SendPnp(IRP_MN_STOP_DEVICE).Status, STATUS_SUCCESS);
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);
  ASSERT_EQ(nt::pnp::Start(m_Pdo), STATUS_SUCCESS);
  idle("stop, stop again, start");

  /* Removal with a handle open, so the object stays to be looked at. */
  h = Open();
  EXPECT_EQ(SendPnp(IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
  EXPECT_EQ(m_Device->OutstandingRequests(), 0);
  EXPECT_EQ(nt::pnp::SetPower(m_Pdo, PowerDeviceD3), STATUS_SUCCESS) << "nothing above the PDO any more";
  EXPECT_EQ(nt::io::Read(h, buffer, 1, &iosb), STATUS_DELETE_PENDING);
  EXPECT_EQ(m_Device->OutstandingRequests(), 0);
  EXPECT_EQ(nt::io::Close(h), STATUS_SUCCESS);
  EXPECT_EQ(m_Counters->Destroyed, 1);
}

/* ---- power ---- */

struct PowerCase {
  const char *Name;
  UCHAR Minor;
  POWER_STATE_TYPE Type;
  ULONG State;
};
const PowerCase kPowerCases[] = {
    {"wait-wake", IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3},
    {"power sequence", IRP_MN_POWER_SEQUENCE, SystemPowerState, 0},
    {"set S3", IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3},
    {"set D3", IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3},
    {"query S4", IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemHibernate},
    {"query D2", IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD2},
};

TEST_F(PnpDeviceTest, PowerRequestsReachTheLowerDeviceUnchangedAlsoWhileAStopIsPending) {
  StartOne();
  for (bool stopPending : {false, true}) {
    if (stopPending) {
      ASSERT_EQ(nt::pnp::QueryStop(m_Pdo), STATUS_SUCCESS);
    }
    for (const auto &c : kPowerCases) {
      SCOPED_TRACE(std::string(c.Name) + (stopPending ? ", stop pending" : ""));
      ClearLog();
      IO_STACK_LOCATION stack{};
      if (c.Minor == IRP_MN_SET_POWER || c.Minor == IRP_MN_QUERY_POWER) {
        stack.Parameters.Power.Type = c.Type;
        stack.Parameters.Power.State.SystemState = (SYSTEM_POWER_STATE)c.State;
      } else if (c.Minor == IRP_MN_WAIT_WAKE) {
        stack.Parameters.WaitWake.PowerState = (SYSTEM_POWER_STATE)c.State;
      }
      EXPECT_EQ(nt::pnp::Send(m_Pdo, IRP_MJ_POWER, c.Minor, &stack).Status, STATUS_SUCCESS);
      std::vector<Seen> log = Log();
      ASSERT_EQ(log.size(), 1u);
      EXPECT_EQ(log[0].Major, IRP_MJ_POWER);
      EXPECT_EQ(log[0].Minor, c.Minor);
      if (c.Minor == IRP_MN_SET_POWER || c.Minor == IRP_MN_QUERY_POWER) {
        EXPECT_EQ(log[0].PowerType, (ULONG)c.Type);
        EXPECT_EQ(log[0].PowerState, c.State);
      }
      EXPECT_EQ(log[0].StatusOnArrival, STATUS_NOT_SUPPORTED) << "the status as the manager set it";
      EXPECT_TRUE(log[0].StartNextCalledFirst);
      EXPECT_EQ(m_Device->OutstandingRequests(), 1);
    }
  }
  ASSERT_EQ(nt::pnp::CancelStop(m_Pdo), STATUS_SUCCESS);
  EXPECT_TRUE(nt::debug::Assertions().empty());

  ASSERT_EQ(SendPnp(IRP_MN_SURPRISE_REMOVAL).Status, STATUS_SUCCESS);
  for (const auto &c : kPowerCases) {
    SCOPED_TRACE(c.Name);
    ClearLog();
    g_StartNextCalled = false;
    EXPECT_EQ(nt::pnp::Send(m_Pdo, IRP_MJ_POWER, c.Minor).Status, STATUS_DELETE_PENDING);
    EXPECT_TRUE(Log().empty());
    EXPECT_FALSE(g_StartNextCalled);
    EXPECT_EQ(m_Device->OutstandingRequests(), 1);
  }
  EXPECT_EQ(SendPnp(IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
  EXPECT_EQ(m_Counters->Destroyed, 1);
}

/* ---- no lower device ---- */

TEST_F(PnpDeviceTest, ManagedMinorCodesWithoutALowerDeviceAreFinishedHere) {
  g_Behaviour.NoLower = true;
  StartOne();
  EXPECT_EQ(m_Device->LowerDevice(), nullptr);
  EXPECT_EQ(m_Device->PnpState() & kAllBits, (ULONG)KPNP_STARTED);
  EXPECT_EQ(nt::pnp::Stop(m_Pdo), STATUS_SUCCESS);
  EXPECT_EQ(nt::pnp::Start(m_Pdo), STATUS_SUCCESS);
  EXPECT_EQ(nt::pnp::QueryStop(m_Pdo), STATUS_SUCCESS);
  EXPECT_EQ(nt::pnp::CancelStop(m_Pdo), STATUS_SUCCESS);
  EXPECT_EQ(nt::pnp::QueryRemove(m_Pdo), STATUS_SUCCESS);
  EXPECT_EQ(m_Device->OutstandingRequests(), 1) << "released once though it waited";
  EXPECT_EQ(nt::pnp::CancelRemove(m_Pdo), STATUS_SUCCESS);
  EXPECT_EQ(SendPnp(IRP_MN_QUERY_PNP_DEVICE_STATE).Status, STATUS_SUCCESS);
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);
  EXPECT_EQ(nt::pnp::SurpriseRemove(m_Pdo), STATUS_SUCCESS);
  EXPECT_EQ(m_Counters->Surprise, 1);
  EXPECT_EQ(m_Counters->Remove, 1);
  EXPECT_EQ(m_Counters->Destroyed, 1);
  EXPECT_TRUE(MinorsSeen(IRP_MJ_PNP).empty()) << "nothing was passed down";
}

}  // namespace
