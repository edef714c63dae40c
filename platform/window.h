// Window-message targets: the notification path from the libraries to the
// operator's window (GUI) or to the headless server's log.
//
// A target is owned by one thread (the thread that created it, unless
// Set_Owner_Thread says otherwise). Post_Message queues a message and returns
// at once. Send_Message returns after the owner's thread has handled the
// message: called on the owner thread it handles it directly; from any other
// thread it queues it and blocks until the owner handles it in Pump_Messages()
// (or until the target is destroyed). Message numbers are the system's own.
#pragma once

#include <cstdint>
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
  virtual ~MessageTarget();
  MessageTarget(const MessageTarget&) = delete;
  MessageTarget& operator=(const MessageTarget&) = delete;

  // Called on the owner thread for every delivered message.
  virtual void Handle(const Message& m) = 0;

  // Makes the calling thread the owner.
  void Set_Owner_Thread();

  // Handles every queued message of this target if the caller owns it.
  // Returns the number handled (0 when the caller is not the owner).
  int Pump();

 private:
  friend bool Post_Message(MessageTarget*, UINT, WPARAM, LPARAM);
  friend bool Send_Message(MessageTarget*, UINT, WPARAM, LPARAM);
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

using HWND = MessageTarget*;

// Queue a message for the owner thread; false when hwnd is null.
bool Post_Message(HWND hwnd, UINT msg, WPARAM w, LPARAM l);

// Deliver a message and wait until the owner has handled it; false when hwnd
// is null. A send to a target whose owner is blocked in a send to the caller
// would deadlock on Windows too; callers that wait for other threads pump.
bool Send_Message(HWND hwnd, UINT msg, WPARAM w, LPARAM l);

// Handles the queued messages of every target owned by the calling thread;
// the owner calls it while it waits for other threads. Returns how many.
int Pump_Messages();

}  // namespace platform
