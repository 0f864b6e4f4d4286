// The Core's lifecycle and logging from its threads.
#include <thread>

#include <gtest/gtest.h>
#include <wx/log.h>

#include "core/thread_log.h"
#include "pt/sync.h"
#include "support/core_harness.h"

namespace {

TEST(CoreLifecycleTest, StopOnANeverStartedCoreCallsNothing) {
  zt::Installation install;
  const std::string record = install.AddPlugin("p.so", "id 1\n");
  {
    zt::CoreHarness harness(install);
    harness.core().Stop();
    EXPECT_FALSE(harness.core().Started());
  }
  EXPECT_FALSE(zt::FileExists(record)) << "a plugin was loaded or called";
}

TEST(CoreLifecycleTest, StopEndsTheSchedulerBeforeTheEventHandlerAndLeavesNothingBehind) {
  zt::Installation install;
  const std::string record =
      install.AddPlugin("clock.so", "id 5\nmask 6 0x02000002\naccepts_write 1\n");
  zt::CalendarScope clock(1000000, 10);  // 10 seconds on at every look
  zt::CoreHarness harness(install);
  harness.Start();
  EXPECT_TRUE(harness.core().Started());
  zt::WaitForEvents(record, "write", 3);
  harness.Stop();

  // Every look after the first reported a step; each report was delivered, the last one too,
  // so the event handler still ran when the scheduler made its last look.
  const auto writes = zt::EventsNamed(zt::ReadEvents(record), "write");
  EXPECT_GE(writes.size(), 3u);
  EXPECT_EQ(static_cast<int>(writes.size()), clock.looks() - 1);
  for (const zt::Event& write : writes) {
    EXPECT_EQ(zt::Unhex(write["hex"]), "system time changed by 10 seconds");
  }
  EXPECT_FALSE(harness.core().Started());
  EXPECT_TRUE(harness.core().PluginsSnapshot().empty());
  EXPECT_FALSE(zt::IsMapped(install.plugins() + "/clock.so"));
}

TEST(CoreLifecycleTest, AStoppedCoreRefusesToStartAgain) {
  zt::Installation install;
  const std::string record = install.AddPlugin("w.so", "id 5\nmask 0 0\naccepts_write 1\n");
  zt::CoreHarness harness(install);
  harness.Start();
  harness.Stop();
  zt::LogCapture::Get().Clear();
  EXPECT_FALSE(harness.core().Start());
  EXPECT_TRUE(zt::LogCapture::Get().Contains("a stopped core is not started again"));
  EXPECT_FALSE(harness.core().Started());
  EXPECT_EQ(zt::EventsNamed(zt::ReadEvents(record), "load").size(), 1u);
}

TEST(ThreadLogTest, LogCallsOfOtherThreadsReachTheTargetAtOnce) {
  zt::LogCapture::Get().Clear();
  pt::semaphore logged(0), finish(0);
  std::thread worker([&] {
    RouteThreadLog();
    wxLogError("error from a worker thread");
    wxLogWarning("warning with %s", "50% of it");
    logged.post();
    finish.wait();
  });
  logged.wait();
  // The worker is still running and the main thread has flushed nothing.
  EXPECT_TRUE(zt::LogCapture::Get().Contains("error from a worker thread"));
  EXPECT_TRUE(zt::LogCapture::Get().Contains("warning with 50% of it"));
  finish.post();
  worker.join();
}

}  // namespace
