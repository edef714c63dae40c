#include "platform/window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace {

using platform::Message;
using platform::Pump_Messages;
using platform::Post_Message;
using platform::Send_Message;
using platform::Wait_Message;
using platform::WM_USER;

// Records each message with the thread that handled it; an optional hook
// runs inside Handle.
class Target : public platform::MessageTarget {
 public:
  void Handle(const Message& m) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      seen_.push_back(m.msg);
      threads_.push_back(std::this_thread::get_id());
    }
    if (hook) hook(m);
  }
  std::vector<unsigned> Seen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  std::vector<std::thread::id> Threads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }
  std::function<void(const Message&)> hook;

 private:
  mutable std::mutex mutex_;
  std::vector<unsigned> seen_;
  std::vector<std::thread::id> threads_;
};

TEST(Window, NullTargetIsRefused) {
  EXPECT_FALSE(Post_Message(nullptr, WM_USER, 0, 0));
  EXPECT_FALSE(Send_Message(nullptr, WM_USER, 0, 0));
}

TEST(Window, PostReturnsAtOnceAndOwnerHandlesInOrder) {
  Target t;
  std::thread poster([&] {
    EXPECT_TRUE(Post_Message(&t, WM_USER + 1, 0, 0));
    EXPECT_TRUE(Post_Message(&t, WM_USER + 2, 0, 0));
  });
  poster.join();  // returned although the owner has not pumped
  EXPECT_TRUE(t.Seen().empty());
  EXPECT_EQ(Pump_Messages(), 2);
  EXPECT_EQ(t.Seen(), (std::vector<unsigned>{WM_USER + 1, WM_USER + 2}));
  for (auto id : t.Threads()) EXPECT_EQ(id, std::this_thread::get_id());
  EXPECT_EQ(Pump_Messages(), 0);
}

TEST(Window, SendFromOtherThreadReturnsOnlyAfterOwnerHandledIt) {
  Target t;
  std::atomic<bool> returned{false};
  std::thread sender([&] {
    EXPECT_TRUE(Send_Message(&t, WM_USER + 5, 7, -3));
    returned = true;
  });
  ASSERT_TRUE(Wait_Message(2000));
  // Queued but not handled: the sender must still be blocked.
  EXPECT_FALSE(returned.load());
  EXPECT_TRUE(t.Seen().empty());
  EXPECT_EQ(Pump_Messages(), 1);
  sender.join();
  EXPECT_TRUE(returned.load());
  EXPECT_EQ(t.Seen(), std::vector<unsigned>{WM_USER + 5});
  EXPECT_EQ(t.Threads().at(0), std::this_thread::get_id());
}

TEST(Window, SendOnOwnerThreadIsHandledDirectly) {
  Target t;
  Message got{};
  t.hook = [&](const Message& m) { got = m; };
  EXPECT_TRUE(Send_Message(&t, WM_USER + 9, 11, -12));
  EXPECT_EQ(got.msg, WM_USER + 9);
  EXPECT_EQ(got.wParam, 11u);
  EXPECT_EQ(got.lParam, -12);
  EXPECT_EQ(Pump_Messages(), 0);
}

TEST(Window, PumpHandlesOnlyTargetsOfTheCallingThread) {
  Target mine;
  Target theirs;
  std::promise<void> owned;
  std::promise<void> release;
  int their_got = -1;
  int their_pumped = -1;
  std::thread owner([&] {
    theirs.Set_Owner_Thread();
    owned.set_value();
    their_got = Wait_Message(2000);
    their_pumped = Pump_Messages();
    // Stay alive until main is done so this thread's id stays unique.
    release.get_future().wait();
  });
  owned.get_future().wait();
  EXPECT_TRUE(Post_Message(&mine, WM_USER + 1, 0, 0));
  EXPECT_TRUE(Post_Message(&theirs, WM_USER + 2, 0, 0));
  EXPECT_EQ(theirs.Pump(), 0);  // not the owner
  EXPECT_EQ(Pump_Messages(), 1);
  EXPECT_EQ(mine.Seen(), std::vector<unsigned>{WM_USER + 1});
  release.set_value();
  owner.join();
  EXPECT_EQ(their_got, 1);
  EXPECT_EQ(their_pumped, 1);
  EXPECT_EQ(theirs.Seen(), std::vector<unsigned>{WM_USER + 2});
  EXPECT_NE(theirs.Threads().at(0), std::this_thread::get_id());
}

TEST(Window, DestroyingTargetReleasesWaitingSenders) {
  auto t = std::make_unique<Target>();
  platform::HWND h = t.get();
  std::vector<std::thread> senders;
  std::atomic<int> failed{0};
  for (int i = 0; i < 3; ++i)
    senders.emplace_back([&] {
      if (!Send_Message(h, WM_USER, 0, 0)) ++failed;
    });
  // At least one sender is queued and blocked; any that comes later finds
  // the target gone. Either way every send fails.
  ASSERT_TRUE(Wait_Message(2000));
  t.reset();
  for (auto& s : senders) s.join();
  EXPECT_EQ(failed.load(), 3);
  EXPECT_FALSE(Post_Message(h, WM_USER, 0, 0));
  EXPECT_FALSE(Send_Message(h, WM_USER, 0, 0));
}

// Deletes itself on WM_USER + 1, as a window closing itself would.
class SelfDeleting : public platform::MessageTarget {
 public:
  void Handle(const Message& m) override {
    if (m.msg == WM_USER + 1) delete this;
  }
};

TEST(Window, HandleMayDestroyItsOwnTarget) {
  platform::HWND h = new SelfDeleting;
  bool sent = false;
  std::thread sender([&] { sent = Send_Message(h, WM_USER + 1, 0, 0); });
  ASSERT_TRUE(Wait_Message(2000));
  EXPECT_TRUE(Post_Message(h, WM_USER + 2, 0, 0));
  EXPECT_EQ(Pump_Messages(), 1);  // the second message went with the target
  sender.join();
  EXPECT_TRUE(sent);
  EXPECT_FALSE(Post_Message(h, WM_USER, 0, 0));
}

TEST(Window, PumpStopsAtMessagesQueuedByItsOwnHandlers) {
  Target t;
  t.hook = [&t](const Message& m) { Post_Message(&t, m.msg + 1, 0, 0); };
  EXPECT_TRUE(Post_Message(&t, WM_USER, 0, 0));
  EXPECT_EQ(t.Pump(), 1);
  EXPECT_EQ(t.Pump(), 1);
  EXPECT_EQ(t.Seen(), (std::vector<unsigned>{WM_USER, WM_USER + 1}));
}

TEST(Window, WaitMessageTimesOutOrWakesOnPost) {
  Target t;
  EXPECT_FALSE(Wait_Message(0));
  const std::uint64_t start = platform::Monotonic_Ms();
  EXPECT_FALSE(Wait_Message(60));
  EXPECT_GE(platform::Monotonic_Ms() - start, 55u);

  std::thread poster([&] {
    platform::Sleep_Ms(30);
    Post_Message(&t, WM_USER, 0, 0);
  });
  const std::uint64_t woke = platform::Monotonic_Ms();
  EXPECT_TRUE(Wait_Message(platform::kWaitForever));
  EXPECT_LT(platform::Monotonic_Ms() - woke, 1500u);
  poster.join();
  EXPECT_TRUE(Wait_Message(0));  // still queued until pumped
  EXPECT_EQ(Pump_Messages(), 1);
  EXPECT_FALSE(Wait_Message(0));
}

TEST(Window, ManySendersEachReturnAfterTheirOwnMessage) {
  Target t;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 50;
  std::vector<std::atomic<bool>> handled(kThreads * kPerThread);
  t.hook = [&](const Message& m) { handled[m.wParam] = true; };
  std::atomic<int> done{0};
  std::atomic<int> early{0};
  std::vector<std::thread> senders;
  for (int i = 0; i < kThreads; ++i)
    senders.emplace_back([&, i] {
      for (int k = 0; k < kPerThread; ++k) {
        const std::size_t id = static_cast<std::size_t>(i * kPerThread + k);
        Send_Message(&t, WM_USER, id, 0);
        if (!handled[id]) ++early;
      }
      ++done;
    });
  const std::uint64_t deadline = platform::Monotonic_Ms() + 5000;
  while (done.load() < kThreads && platform::Monotonic_Ms() < deadline) {
    Pump_Messages();
    Wait_Message(50);
  }
  for (auto& s : senders) s.join();
  EXPECT_EQ(early.load(), 0);
  EXPECT_EQ(t.Seen().size(), static_cast<std::size_t>(kThreads * kPerThread));
}

}  // namespace

namespace {

// An event loop's view of a target: the queue hook only schedules a pump,
// which the owner thread then runs.
TEST(WindowHooks, QueueHookTellsTheOwnersLoopAboutPostsAndSendsFromOtherThreads) {
  Target t;
  std::atomic<int> told{0};
  t.Set_Queue_Hook([&told] { ++told; });
  EXPECT_TRUE(Post_Message(&t, WM_USER + 1, 0, 0));
  EXPECT_EQ(told.load(), 1);
  // A send from another thread tells the loop before it waits, so the
  // owner can pump it: no deadlock with a loop that only pumps when told.
  std::thread sender([&t] { Send_Message(&t, WM_USER + 2, 0, 0); });
  while (told.load() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  while (t.Seen().size() < 2) Pump_Messages();
  sender.join();
  // A send handled directly by the owner needs nobody to be told.
  Send_Message(&t, WM_USER + 3, 0, 0);
  EXPECT_EQ(told.load(), 2);
  t.Set_Queue_Hook({});
  Post_Message(&t, WM_USER + 4, 0, 0);
  EXPECT_EQ(told.load(), 2);
  Pump_Messages();
}

// A send filter lets a send from another thread return at once as a
// (rewritten) post, in its place in the queue; what it declines is sent as
// before, and sends on the owner thread never reach it.
TEST(WindowHooks, SendFilterTurnsChosenSendsIntoPostsInQueueOrder) {
  Target t;
  std::atomic<int> filtered{0};
  t.Set_Send_Filter([&filtered](Message& m) {
    ++filtered;
    if (m.msg != WM_USER + 1) return false;
    m.msg = WM_USER + 100;  // the copy the owner is to handle
    m.lParam = m.lParam * 10;
    return true;
  });
  std::atomic<bool> returned{false};
  std::thread sender([&] {
    EXPECT_TRUE(Post_Message(&t, WM_USER + 7, 0, 0));
    EXPECT_TRUE(Send_Message(&t, WM_USER + 1, 0, 4));
    EXPECT_TRUE(Send_Message(&t, WM_USER + 1, 0, 5));
    returned = true;
  });
  sender.join();  // returned although the owner has not pumped
  EXPECT_TRUE(returned.load());
  EXPECT_TRUE(t.Seen().empty());
  std::vector<platform::LPARAM> values;
  t.hook = [&values](const Message& m) {
    if (m.msg == WM_USER + 100) values.push_back(m.lParam);
  };
  EXPECT_EQ(Pump_Messages(), 3);
  EXPECT_EQ(t.Seen(), (std::vector<unsigned>{WM_USER + 7, WM_USER + 100, WM_USER + 100}));
  EXPECT_EQ(values, (std::vector<platform::LPARAM>{40, 50}));

  // Declined: the sender waits for the owner as usual.
  returned = false;
  std::thread waiter([&] {
    EXPECT_TRUE(Send_Message(&t, WM_USER + 2, 0, 0));
    returned = true;
  });
  ASSERT_TRUE(Wait_Message(2000));
  EXPECT_FALSE(returned.load());
  EXPECT_EQ(Pump_Messages(), 1);
  waiter.join();
  EXPECT_EQ(filtered.load(), 3);
  // On the owner thread a send is handled directly, unfiltered.
  EXPECT_TRUE(Send_Message(&t, WM_USER + 1, 0, 0));
  EXPECT_EQ(filtered.load(), 3);
  EXPECT_EQ(t.Seen().back(), WM_USER + 1);
  t.Set_Send_Filter({});
}

TEST(WindowHooks, PumpHookRunsOnTheCallingThreadOnlyAndNeverInsideItself) {
  int runs = 0;
  platform::Set_Pump_Hook([&runs] {
    ++runs;
    Pump_Messages();  // a loop that pumps again from inside the hook
  });
  Pump_Messages();
  EXPECT_EQ(runs, 1);
  std::thread other([] { Pump_Messages(); });
  other.join();
  EXPECT_EQ(runs, 1);
  platform::Set_Pump_Hook({});
  Pump_Messages();
  EXPECT_EQ(runs, 1);
}

}  // namespace
