// The thread facility, the job holder's start, counting and stop, and the
// compare-and-set of the recorder's counters.

#include <gtest/gtest.h>

#include <atomic>

#include "fakes/thread_fakes.h"
#include "fakes/wait_until.h"
#include "platform/errors.h"
#include "platform/process.h"
#include "platform/threads.h"
#include "record/record_support.h"
#include "record/scan_request.h"
#include "record/scan_thread.h"
#include "storage/serialized_access.h"
#include "storage/snapshot_writer.h"

namespace orvalinth {
namespace {

using test::StubbornJob;

TEST(SerializedAccessInt, CompareExchangeChangesOnlyTheExpectedValue) {
  CXSerializedAccessInt counter(-1);
  EXPECT_EQ(counter.CompareExchange(-1, 1), -1);
  EXPECT_EQ(counter.Get(), 1);
  EXPECT_EQ(counter.CompareExchange(-1, 7), 1);
  EXPECT_EQ(counter.Get(), 1);
}

void SetFlag(void* argument) { static_cast<std::atomic<int>*>(argument)->store(1); }

void SleepUntilZero(void* argument) {
  auto* flag = static_cast<std::atomic<int>*>(argument);
  while (flag->load() != 0) platform::SleepMs(2);
}

TEST(Threads, RunsTheFunctionAndWaitsForItsEnd) {
  std::atomic<int> flag{0};
  std::unique_ptr<platform::Thread> thread = platform::ThreadSystem::Get().Start(&SetFlag, &flag);
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(thread->Wait(platform::kWaitForever));
  EXPECT_EQ(flag.load(), 1);
  EXPECT_TRUE(thread->Wait(0));  // an ended thread stays ended
}

TEST(Threads, WaitTimesOutWhileTheThreadRuns) {
  std::atomic<int> flag{1};
  std::unique_ptr<platform::Thread> thread = platform::ThreadSystem::Get().Start(&SleepUntilZero, &flag);
  ASSERT_NE(thread, nullptr);
  EXPECT_FALSE(thread->Wait(20));
  EXPECT_EQ(platform::LastError(), platform::kErrorWaitTimeout);
  flag = 0;
  EXPECT_TRUE(thread->Wait(platform::kWaitForever));
}

TEST(Threads, TerminateEndsAThreadThatWouldRunForEver) {
  std::atomic<int> flag{1};
  std::unique_ptr<platform::Thread> thread = platform::ThreadSystem::Get().Start(&SleepUntilZero, &flag);
  ASSERT_NE(thread, nullptr);
  platform::SleepMs(10);
  EXPECT_TRUE(thread->Terminate());
  EXPECT_TRUE(thread->Wait(10000));
  EXPECT_EQ(flag.load(), 1);
}

// A job that ends by itself once released, or at a stop.
class ObedientJob : public CXScanThread {
 public:
  ~ObedientJob() override {
    released = true;
    StopJob(true);
  }
  std::atomic<bool> released{false};
  std::atomic<bool> ran{false};

 protected:
  void Run() override {
    ran = true;
    while (!released && !StopRequested()) platform::SleepMs(1);
  }
};

void AwaitIdle(CXScanThread& job) {
  test::WaitUntil([&] { return job.state() == CXScanThread::kStateIdle; });
}

TEST(ScanJob, AJobIsCountedWhileItRuns) {
  CXSnapshotWriter writer;
  EXPECT_EQ(writer.job_counter(kScanFiles).Get(), -1);
  ObedientJob job;
  EXPECT_EQ(job.state(), CXScanThread::kStateIdle);
  ASSERT_EQ(job.StartJob(writer, kScanFiles), 1);
  EXPECT_EQ(job.state(), CXScanThread::kStateRunning);
  EXPECT_EQ(writer.job_counter(kScanFiles).Get(), 1);
  EXPECT_EQ(writer.running_jobs().Get(), 1);
  EXPECT_EQ(job.StartJob(writer, kScanFiles), 0);  // runs already
  job.released = true;
  AwaitIdle(job);
  EXPECT_TRUE(job.ran);
  EXPECT_EQ(writer.job_counter(kScanFiles).Get(), 0);
  EXPECT_EQ(writer.running_jobs().Get(), 0);
  EXPECT_EQ(writer.job_counter(kScanRegistry).Get(), -1);
}

TEST(ScanJob, OverlappingJobsOfOneKindAreAllCounted) {
  CXSnapshotWriter writer;
  ObedientJob first, second;
  ASSERT_EQ(first.StartJob(writer, kScanFiles), 1);
  ASSERT_EQ(second.StartJob(writer, kScanFiles), 1);
  EXPECT_EQ(writer.job_counter(kScanFiles).Get(), 2);
  EXPECT_EQ(writer.running_jobs().Get(), 2);
  first.released = true;
  AwaitIdle(first);
  EXPECT_EQ(writer.job_counter(kScanFiles).Get(), 1);
  EXPECT_EQ(writer.running_jobs().Get(), 1);
  second.released = true;
  AwaitIdle(second);
  EXPECT_EQ(writer.job_counter(kScanFiles).Get(), 0);
  EXPECT_EQ(writer.running_jobs().Get(), 0);
}

TEST(ScanJob, AJobWhoseThreadCannotStartIsCountedOutAgain) {
  CXSnapshotWriter writer;
  test::CountedThreads no_threads;
  no_threads.fail = true;
  platform::ScopedFacility<platform::ThreadSystem> use(no_threads);
  ObedientJob job;
  EXPECT_EQ(job.StartJob(writer, kScanRegistry), 0);
  EXPECT_EQ(job.state(), CXScanThread::kStateIdle);
  EXPECT_EQ(writer.job_counter(kScanRegistry).Get(), -1);
  EXPECT_EQ(writer.running_jobs().Get(), 0);
  EXPECT_FALSE(job.ran);
}

TEST(ScanJob, StopWithoutWaitOnlyAsks) {
  CXSnapshotWriter writer;
  StubbornJob job;
  job.set_stop_wait(1000, 1);
  ASSERT_EQ(job.StartJob(writer, kScanApps), 1);
  EXPECT_EQ(job.StopJob(false), 0);
  EXPECT_EQ(job.state(), CXScanThread::kStateStopRequested);
  EXPECT_TRUE(job.StopRequested());
  job.Release();
  EXPECT_EQ(job.StopJob(true), 1);
  EXPECT_EQ(job.state(), CXScanThread::kStateIdle);
  EXPECT_FALSE(job.terminated());
  EXPECT_EQ(writer.running_jobs().Get(), 0);
}

TEST(ScanJob, StopWithWaitReturnsWhenTheJobHasEnded) {
  CXSnapshotWriter writer;
  ObedientJob job;
  job.set_stop_wait(1000, 1);
  ASSERT_EQ(job.StartJob(writer, kScanFiles), 1);
  EXPECT_EQ(job.StopJob(true), 1);
  EXPECT_EQ(job.state(), CXScanThread::kStateIdle);
  EXPECT_FALSE(job.terminated());
  EXPECT_EQ(writer.job_counter(kScanFiles).Get(), 0);
  EXPECT_EQ(job.StopJob(true), 1);  // idle: at once
}

TEST(ScanJob, AJobThatIgnoresTheStopIsEndedAfterTheLastPoll) {
  CXSnapshotWriter writer;
  StubbornJob job;
  job.set_stop_wait(5, 2);
  ASSERT_EQ(job.StartJob(writer, kScanApps), 1);
  ASSERT_TRUE(test::WaitUntil([&] { return job.started(); }));
  EXPECT_EQ(job.StopJob(true), 1);
  EXPECT_TRUE(job.terminated());
  EXPECT_EQ(job.state(), CXScanThread::kStateIdle);
  // Ended without reaching its own count-out: the stop counted it out.
  EXPECT_EQ(writer.job_counter(kScanApps).Get(), 0);
  EXPECT_EQ(writer.running_jobs().Get(), 0);
}

}  // namespace
}  // namespace orvalinth
