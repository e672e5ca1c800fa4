/*
 * A port unplugged while a reader, a writer and a wait are in progress:
 * every request finishes, the device goes once its handle is closed, and
 * nothing of it is touched afterwards (the sanitizer builds run this too).
 */
#include "port_system.h"

#include <future>

using namespace systest;

namespace {

class Removal : public PortSystem {
 protected:
  sim::controller::Config Config() override { return DefaultWith(sim::controller::UartTiming::BaudAccurate); }
};

TEST_F(Removal, SurpriseRemovalWithRequestsInProgressThenRemove) {
  HANDLE h = MustOpen("COM8");
  sim::line::ProbeLine *probe = Hw().Probe(0, 3);
  ASSERT_EQ(SetBaud(h, 9600), STATUS_SUCCESS);
  ASSERT_EQ(SetWaitMask(h, SERIAL_EV_TXEMPTY), STATUS_SUCCESS); /* never reported: stays held */
  auto wait = StartWait(h);
  ASSERT_EQ(wait->Issued, STATUS_PENDING);

  ASSERT_EQ(SetTimeouts(h, MAXULONG, 0, MAXULONG), STATUS_SUCCESS); /* the whole length or nothing */
  const uint64_t from = nt::debug::NextLineNumber();
  auto reader = std::async(std::launch::async, [&] {
    std::string got;
    return Read(h, 100, &got);
  });
  ASSERT_TRUE(nt::debug::WaitForLine("Length : 100", std::chrono::milliseconds(kLimitMs), from));

  const std::string data = Pattern(600, 3); /* over half a second at 9600 */
  auto writer = std::async(std::launch::async, [&] { return Write(h, data); });
  ASSERT_TRUE(probe->WaitForSent(3));

  Hw().SetPortPresent(0, 3, false);
  ASSERT_EQ(nt::pnp::Reenumerate(m_BusPdo), STATUS_SUCCESS);
  ASSERT_TRUE(nt::pnp::WaitIdle());
  /* Surprise-removed; the removal waits for the handle. */
  EXPECT_TRUE(nt::NameExists("\\Device\\NERAVOXDevice3"));
  EXPECT_EQ(reader.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  EXPECT_FALSE(wait->Done());

  /* The application gives the port up. */
  Close(h);
  EXPECT_EQ(reader.get(), STATUS_CANCELLED);
  ASSERT_TRUE(wait->WaitDone());
  EXPECT_EQ(wait->Iosb.Status, STATUS_CANCELLED);
  const NTSTATUS written = writer.get();
  EXPECT_TRUE(written == STATUS_SUCCESS || written == STATUS_IO_TIMEOUT) << std::hex << written;

  ASSERT_TRUE(nt::pnp::WaitIdle());
  EXPECT_FALSE(nt::NameExists("\\Device\\NERAVOXDevice3"));
  EXPECT_FALSE(nt::NameExists("\\DosDevices\\COM8"));
  EXPECT_EQ(nt::pool::OutstandingByTag('DAER').Blocks, 0u); /* no read record left */

  /* Bytes for the port that is gone: no callback reaches it. */
  const sim::bus::InterruptCounts before = Hw().Counts(0, 3);
  probe->Inject("late");
  EXPECT_TRUE(Hw().WaitForCounts(0, 3, before));
  EXPECT_EQ(Hw().Counts(0, 3).Callbacks, before.Callbacks);

  /* The other ports are untouched. */
  HANDLE other = MustOpen("COM7");
  Close(other);
}

TEST_F(Removal, RemovedPortCanComeBack) {
  Hw().SetPortPresent(0, 2, false);
  ASSERT_EQ(nt::pnp::Reenumerate(m_BusPdo), STATUS_SUCCESS);
  ASSERT_TRUE(nt::pnp::WaitIdle());
  EXPECT_FALSE(nt::NameExists("\\DosDevices\\COM7"));
  Hw().SetPortPresent(0, 2, true);
  ASSERT_EQ(nt::pnp::Reenumerate(m_BusPdo), STATUS_SUCCESS);
  ASSERT_TRUE(nt::pnp::WaitIdle());
  EXPECT_TRUE(nt::NameExists("\\DosDevices\\COM7"));
  /* A new device object with the next unit. */
  EXPECT_TRUE(nt::NameExists("\\Device\\NERAVOXDevice4"));
  HANDLE h = MustOpen("COM7");
  ASSERT_EQ(Write(h, "back"), STATUS_SUCCESS);
  Close(h);
}

}  // namespace
