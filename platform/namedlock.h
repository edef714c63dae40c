// System-wide named locks: one lock per name, shared by every thread and
// every process of the machine. A lock is an flock on a lock file in
// $TMPDIR/tarnel-locks/ (default /tmp) whose file name encodes the lock's
// name, so a lock dies with the process (or handle) that held it. Names
// compare exactly (case matters).
#pragma once

#include <string>

namespace platform {

class NamedLock {
 public:
  NamedLock() = default;
  ~NamedLock();  // releases the lock when held and closes the lock file
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;

  // Opens (creating when needed) the lock file for name; false on failure or
  // for an empty name. An open handle is closed first.
  bool Open(const char* name);
  // Waits without limit until this handle holds the lock. Two handles of the
  // same name exclude each other also within one process, so each thread
  // uses its own handle. False when the handle is not open.
  bool Lock();
  // Takes the lock only when it is free at once.
  bool Try_Lock();
  void Unlock();
  void Close();
  bool Is_Open() const { return fd_ >= 0; }

  // Lock file path for name (tests and diagnostics).
  static std::string File_For(const char* name);

 private:
  int fd_ = -1;
  bool held_ = false;
};

}  // namespace platform
