#include "platform/window.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

namespace {

// A sender blocked until the owner has handled its message; lives on the
// sender's stack and is completed (and notified) under the registry lock.
struct SendSlot {
  std::condition_variable cv;
  bool done = false;
  bool handled = false;
};

struct Entry {
  Message m;
  SendSlot* slot;  // null for a posted message
};

// A thread blocked in Wait_Message; lives on its stack.
struct Waiter {
  std::thread::id thread;
  std::condition_variable cv;
};

// One target's queue. Shared with running pumps so that a Handle that
// destroys its own target leaves the pump with valid state to look at.
struct TargetState {
  MessageTarget* target = nullptr;
  std::thread::id owner;
  std::deque<Entry> queue;
  bool alive = true;
  std::function<void()> queue_hook;
  std::function<bool(Message&)> send_filter;
};

// Every live target and every waiting owner, behind one lock: targets are
// few and messages rare, so one lock keeps the ordering rules simple.
struct Registry {
  std::mutex mu;
  std::vector<std::shared_ptr<TargetState>> targets;
  std::vector<Waiter*> waiters;
};

// Never destroyed: detached threads may still post while the process exits.
Registry& Reg() {
  static Registry* const registry = new Registry;
  return *registry;
}

// Caller holds r.mu.
std::shared_ptr<TargetState> Find_Locked(Registry& r, const MessageTarget* target) {
  for (const auto& s : r.targets)
    if (s->target == target) return s;
  return nullptr;
}

// Caller holds r.mu. The slot's owner may return as soon as the lock is
// released, so it is notified before that.
void Finish_Locked(SendSlot* slot, bool handled) {
  slot->done = true;
  slot->handled = handled;
  slot->cv.notify_one();
}

// Caller holds r.mu.
void Wake_Owner_Locked(Registry& r, std::thread::id owner) {
  for (Waiter* w : r.waiters)
    if (w->thread == owner) w->cv.notify_one();
}

// Caller holds r.mu.
bool Has_Queued_Locked(const Registry& r, std::thread::id owner) {
  for (const auto& s : r.targets)
    if (s->owner == owner && !s->queue.empty()) return true;
  return false;
}

// Completes a sent message once its Handle has returned (or thrown), so a
// sender is never left waiting.
class SlotRelease {
 public:
  explicit SlotRelease(SendSlot* slot) : slot_(slot) {}
  ~SlotRelease() {
    if (slot_ == nullptr) return;
    std::lock_guard<std::mutex> lock(Reg().mu);
    Finish_Locked(slot_, true);
  }
  SlotRelease(const SlotRelease&) = delete;
  SlotRelease& operator=(const SlotRelease&) = delete;

 private:
  SendSlot* slot_;
};

int Pump_State(std::shared_ptr<TargetState> s) {
  Registry& r = Reg();
  const std::thread::id me = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(r.mu);
  // Only what is queued now: a handler that posts to its own target must not
  // keep this pump going forever.
  std::size_t budget = s->queue.size();
  int handled = 0;
  while (budget > 0 && s->alive && s->owner == me && !s->queue.empty()) {
    --budget;
    const Entry e = s->queue.front();
    s->queue.pop_front();
    MessageTarget* const target = s->target;
    lock.unlock();
    {
      SlotRelease release(e.slot);
      target->Handle(e.m);
    }
    ++handled;
    lock.lock();
  }
  return handled;
}

}  // namespace

struct MessageTarget::Impl {
  std::shared_ptr<TargetState> state;
};

MessageTarget::MessageTarget() : impl_(std::make_unique<Impl>()) {
  impl_->state = std::make_shared<TargetState>();
  impl_->state->target = this;
  impl_->state->owner = std::this_thread::get_id();
  Registry& r = Reg();
  std::lock_guard<std::mutex> lock(r.mu);
  r.targets.push_back(impl_->state);
}

MessageTarget::~MessageTarget() {
  Registry& r = Reg();
  std::lock_guard<std::mutex> lock(r.mu);
  TargetState& s = *impl_->state;
  s.alive = false;
  for (const Entry& e : s.queue)
    if (e.slot != nullptr) Finish_Locked(e.slot, false);
  s.queue.clear();
  std::erase(r.targets, impl_->state);
}

void MessageTarget::Set_Queue_Hook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(Reg().mu);
  impl_->state->queue_hook = std::move(hook);
}

void MessageTarget::Set_Send_Filter(std::function<bool(Message&)> filter) {
  std::lock_guard<std::mutex> lock(Reg().mu);
  impl_->state->send_filter = std::move(filter);
}

void MessageTarget::Set_Owner_Thread() {
  std::lock_guard<std::mutex> lock(Reg().mu);
  impl_->state->owner = std::this_thread::get_id();
}

int MessageTarget::Pump() {
  // The copy keeps the state valid if a Handle destroys this target.
  std::shared_ptr<TargetState> s = impl_->state;
  return Pump_State(std::move(s));
}

bool Post_Message(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
  if (hwnd == nullptr) return false;
  Registry& r = Reg();
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(r.mu);
    const std::shared_ptr<TargetState> s = Find_Locked(r, hwnd);
    if (!s) return false;
    s->queue.push_back(Entry{Message{msg, w, l}, nullptr});
    Wake_Owner_Locked(r, s->owner);
    hook = s->queue_hook;
  }
  if (hook) hook();
  return true;
}

bool Send_Message(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
  if (hwnd == nullptr) return false;
  Registry& r = Reg();
  std::unique_lock<std::mutex> lock(r.mu);
  const std::shared_ptr<TargetState> s = Find_Locked(r, hwnd);
  if (!s) return false;
  if (s->owner == std::this_thread::get_id()) {
    lock.unlock();
    hwnd->Handle(Message{msg, w, l});
    return true;
  }
  Message m{msg, w, l};
  if (s->send_filter && s->send_filter(m)) {
    s->queue.push_back(Entry{m, nullptr});
    Wake_Owner_Locked(r, s->owner);
    std::function<void()> hook = s->queue_hook;
    lock.unlock();
    if (hook) hook();
    return true;
  }
  SendSlot slot;
  s->queue.push_back(Entry{m, &slot});
  Wake_Owner_Locked(r, s->owner);
  if (s->queue_hook) {
    // The slot lives on this stack until it is done, so the lock may go
    // while the owner's loop is told.
    std::function<void()> hook = s->queue_hook;
    lock.unlock();
    hook();
    lock.lock();
  }
  slot.cv.wait(lock, [&slot] { return slot.done; });
  return slot.handled;
}

namespace {
thread_local std::function<void()> t_pump_hook;
thread_local bool t_in_pump_hook = false;
}  // namespace

void Set_Pump_Hook(std::function<void()> hook) { t_pump_hook = std::move(hook); }

int Pump_Messages() {
  if (t_pump_hook && !t_in_pump_hook) {
    t_in_pump_hook = true;
    // Copied: the hook may replace itself.
    const std::function<void()> hook = t_pump_hook;
    hook();
    t_in_pump_hook = false;
  }
  Registry& r = Reg();
  const std::thread::id me = std::this_thread::get_id();
  std::vector<std::shared_ptr<TargetState>> mine;
  {
    std::lock_guard<std::mutex> lock(r.mu);
    for (const auto& s : r.targets)
      if (s->owner == me && !s->queue.empty()) mine.push_back(s);
  }
  int handled = 0;
  for (auto& s : mine) handled += Pump_State(s);
  return handled;
}

bool Wait_Message(std::uint32_t timeout_ms) {
  Registry& r = Reg();
  Waiter waiter;
  waiter.thread = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(r.mu);
  if (Has_Queued_Locked(r, waiter.thread)) return true;
  if (timeout_ms == 0) return false;
  r.waiters.push_back(&waiter);
  const auto ready = [&r, &waiter] { return Has_Queued_Locked(r, waiter.thread); };
  bool got;
  if (timeout_ms == kWaitForever) {
    waiter.cv.wait(lock, ready);
    got = true;
  } else {
    got = waiter.cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready);
  }
  std::erase(r.waiters, &waiter);
  return got;
}

}  // namespace platform
