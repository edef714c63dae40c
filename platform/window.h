// Window-message targets: the notification path from the libraries to the
// operator's window (GUI) or to the headless server's log.
//
// A target is owned by one thread (the thread that created it, unless
// Set_Owner_Thread says otherwise). Post_Message queues a message and returns
// at once. Send_Message returns after the owner's thread has handled the
// message: called on the owner thread it handles it directly; from any other
// thread it queues it and blocks until the owner handles it in Pump() or
// Pump_Messages() (or until the target is destroyed). Posted and sent
// messages share one queue per target and are handled in the order queued.
// Message numbers are the system's own.
//
// All functions here are thread-safe. Waiting never spins: senders and
// Wait_Message block on condition variables.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

using UINT = unsigned int;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;

constexpr UINT WM_USER = 1024;

struct Message {
  UINT msg;
  WPARAM wParam;
  LPARAM lParam;
};

class MessageTarget {
 public:
  MessageTarget();
  // Unregisters the target: later posts and sends to it return false, queued
  // messages are dropped and every sender still waiting on it is released
  // (its Send_Message returns false). Destroy a target on its owner thread
  // (or when its owner no longer pumps): Handle must not run concurrently
  // with the derived class's destructor. A Handle may destroy its own target.
  virtual ~MessageTarget();
  MessageTarget(const MessageTarget&) = delete;
  MessageTarget& operator=(const MessageTarget&) = delete;

  // Called on the owner thread for every delivered message, without any
  // lock of this layer held: it may post, send, pump or destroy the target.
  virtual void Handle(const Message& m) = 0;

  // Makes the calling thread the owner.
  void Set_Owner_Thread();

  // Handles the messages queued to this target when the call starts, if the
  // caller owns it (messages queued meanwhile wait for the next pump).
  // Returns the number handled (0 when the caller is not the owner).
  int Pump();

  // An event loop that owns this target (the GUI's) learns through hook that
  // a message was queued for it, so it can schedule a Pump on its own
  // thread. The hook runs on the queuing thread, after the message is
  // queued, without this layer's lock held; it must return quickly and not
  // handle the message itself. A send handled directly by its owner calls
  // no hook. An empty function removes it.
  void Set_Queue_Hook(std::function<void()> hook);

  // A send from a thread other than the owner first goes to filter, on the
  // sending thread with this layer's lock held: when it returns true, the
  // message (which it may rewrite) is queued as if posted and the send
  // returns true at once, without waiting for the owner. A target whose
  // handling of a message needs nothing but what the filter can copy on the
  // sending thread spares the sender the wait this way. The filter must be
  // quick, thread-safe and must not call this layer; like Handle it must not
  // run concurrently with the derived class's destructor. An empty function
  // removes it.
  void Set_Send_Filter(std::function<bool(Message&)> filter);

 private:
  friend bool Post_Message(MessageTarget*, UINT, WPARAM, LPARAM);
  friend bool Send_Message(MessageTarget*, UINT, WPARAM, LPARAM);
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

using HWND = MessageTarget*;

// Queue a message for the owner thread and return at once; false when hwnd
// is null or not a live target.
bool Post_Message(HWND hwnd, UINT msg, WPARAM w, LPARAM l);

// Deliver a message and wait until the owner has handled it. Returns true
// once it was handled; false when hwnd is null or not a live target, or the
// target was destroyed before handling it. A send to a target whose owner is
// itself blocked in a send to a target of the caller deadlocks; threads that
// own targets wait for other threads with Wait_Message and Pump_Messages.
bool Send_Message(HWND hwnd, UINT msg, WPARAM w, LPARAM l);

// Handles the queued messages of every target owned by the calling thread;
// the owner calls it while it waits for other threads. Returns how many.
// When the calling thread has a pump hook, it runs first.
int Pump_Messages();

// Gives the calling thread a hook that Pump_Messages runs on every call,
// before the queued messages: an event loop on that thread (the GUI's)
// handles its own events there while the thread waits for other threads.
// The hook is not run again while it runs. An empty function removes it.
void Set_Pump_Hook(std::function<void()> hook);

// Wait_Message timeout that never expires.
constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;

// Blocks the calling thread until a message is queued to a target it owns
// or timeout_ms milliseconds passed (0 only checks). Returns true when such
// a message is waiting (also when one already was at the call), false on
// time-out. It handles nothing itself: the caller then runs Pump_Messages().
// A typical owner loop:  while (!done) { Pump_Messages(); Wait_Message(100); }
bool Wait_Message(std::uint32_t timeout_ms);

}  // namespace platform
