// Fault injection for tests and fuzzing. A test arms one kind of system call
// so that its Nth call from now fails with a chosen errno, runs an
// operation, and checks that the failure was handled; loops over N = 1, 2, 3
// ... until the operation passes find every unhandled step. Nothing is armed
// unless a test arms it; the unarmed cost is one relaxed atomic load per call.
//
// Besides failures, two confinements keep a fuzzed session harmless: PC
// paths may be limited to one folder, and child programs may be refused.
//
// Threads: every function may be called from any thread; the counters are
// atomic. Arming while calls of that kind run on other threads counts those
// calls too.
#pragma once

#include <string>

namespace platform::faults {

// The kinds of call that can be made to fail. kOpen covers the opening of
// files (fopen, open, mkstemp-style creation); kRead and kWrite the data
// transfers of files opened by the file layer while faults are enabled; kSend
// and kRecv socket transfers.
enum class Call : int {
  kOpen, kRead, kWrite, kFsync, kRename, kMkdir, kUnlink, kStat, kSend, kRecv,
  kCount,
};

// Makes the nth call of kind (counted from 1, from this call on) fail with
// error; the calls after it pass again. n = 0 disarms the kind.
void Fail_Nth(Call kind, unsigned long n, int error);
// Disarms every kind and zeroes every counter.
void Reset();
// Calls of kind counted since it was last armed or reset.
unsigned long Calls(Call kind);
// True once the armed call of kind has failed.
bool Fired(Call kind);
// Turns on counting and the failure hooks for files the file layer opens
// (their reads and writes are then routed through hooks); off by default.
void Enable(bool on);
bool Enabled();

// For platform/ only: counts a call of kind and says whether it must fail;
// errno is then set to the armed error.
bool Should_Fail(Call kind);

// Limits the socket kinds (kSend, kRecv) to connections whose peer is the
// IPv4 address peer (dotted, e.g. "127.0.0.5"), so that one station's
// connection fails while the others in the same process go on; calls on
// other sockets are neither counted nor failed. Empty: every socket.
// Returns false for a peer that is not a dotted IPv4 address.
bool Only_Peer(const std::string& peer);
// For platform/ only: Should_Fail for a socket call on socket s (a call on a
// socket of another peer counts nothing).
bool Should_Fail_Socket(Call kind, int s);

// Limits native paths resolved from PC paths to root and what lies below it
// (lexically: a path with a ".." component is refused too); PC paths outside
// it resolve as an unmapped drive. An empty root lifts the limit.
void Confine_Paths(const std::string& root);
// True when native may be used under the current confinement.
bool Path_Allowed(const std::string& native);

// Refuses to start child programs (Run_Child, Start_Child give false).
void Refuse_Child_Programs(bool refuse);
bool Child_Programs_Refused();

}  // namespace platform::faults
