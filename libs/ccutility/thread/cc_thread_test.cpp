#include "libs/ccutility/thread/cc_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// A body that waits for permission to finish and records its own destruction.
class GatedThread : public cc::Thread::Base {
 public:
  GatedThread(std::atomic<bool>* release, std::atomic<int>* destroyed)
      : m_release(release), m_destroyed(destroyed) {}
  ~GatedThread() override { m_destroyed->fetch_add(1); }
  int Run() override {
    while (!m_release->load())
      cc::SleepMs(1);
    return 7;
  }

 private:
  std::atomic<bool>* m_release;
  std::atomic<int>* m_destroyed;
};

}  // namespace

TEST(Thread, DetachReturnsOnlyAfterTheThreadStarted) {
  std::atomic<bool> release{false};
  std::atomic<int> destroyed{0};
  auto* t = new GatedThread(&release, &destroyed);
  t->AddRef();  // the test's own look at the object
  {
    cc::Thread::Holder holder(t);
    holder.Detach();
    EXPECT_TRUE(t->HasStarted());
    EXPECT_FALSE(t->HasFinished());
    EXPECT_EQ(holder.Get(), nullptr);
  }
  release = true;
  while (!t->HasFinished())
    cc::SleepMs(1);
  EXPECT_EQ(destroyed.load(), 0);  // our reference keeps it
  if (t->Release())
    delete t;
  EXPECT_EQ(destroyed.load(), 1);
}

TEST(Thread, DroppedHolderStillCompletesAndDestroys) {
  std::atomic<bool> release{true};
  std::atomic<int> destroyed{0};
  {
    cc::Thread::Holder holder(new GatedThread(&release, &destroyed));
    // Dropped at once, without Detach: the running thread keeps the object alive.
  }
  for (int i = 0; i < 5000 && destroyed.load() == 0; ++i)
    cc::SleepMs(1);
  EXPECT_EQ(destroyed.load(), 1);
}

TEST(Mutex, TryLockFromAnotherThreadFailsButOwnerReenters) {
  cc::Mutex mutex;
  mutex.Lock();
  EXPECT_TRUE(mutex.TryLock());  // recursive for its owner
  mutex.Unlock();
  bool otherGot = true;
  std::thread other([&] { otherGot = mutex.TryLock(); });
  other.join();
  EXPECT_FALSE(otherGot);
  mutex.Unlock();
  std::thread again([&] {
    otherGot = mutex.TryLock();
    if (otherGot)
      mutex.Unlock();
  });
  again.join();
  EXPECT_TRUE(otherGot);
}
