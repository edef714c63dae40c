// Local stream sockets between programs of this machine (Unix domain, in the
// abstract namespace: the name is no file, nothing is left behind when the
// owner ends, and a second owner of the same name is refused). Used for the
// data-copy requests that other programs hand to a running tarnel.
//
// Descriptors are >= 1. No call raises SIGPIPE; EINTR is retried. Every wait
// is bounded by the caller's time limit (milliseconds; < 0 means no limit).
// Different threads may work on different sockets at the same time; Unix_Wake
// may be called from any thread while another waits in Unix_Accept.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

enum UnixResult : int {
  UNIX_FAILED = -1,     // see the text the call gives back
  UNIX_IN_USE = -2,     // Unix_Listen: another process owns the name
  UNIX_NO_PEER = -3,    // Unix_Connect: nobody owns the name
  UNIX_TIMED_OUT = -4,
  UNIX_CLOSED = -5,     // the peer ended the connection early / the listener was woken
};

// Longest name (the abstract namespace takes 107 bytes after its NUL).
constexpr std::size_t kUnixNameMax = 100;

// Owns name and listens on it. Returns the listening descriptor,
// UNIX_IN_USE, or UNIX_FAILED (*why, when given, says why; also for a name
// that is empty or longer than kUnixNameMax).
int Unix_Listen(const std::string& name, std::string* why);

// Waits up to timeout_ms for a connection and accepts it. Returns the new
// descriptor, UNIX_TIMED_OUT, UNIX_CLOSED after Unix_Wake, or UNIX_FAILED.
int Unix_Accept(int listening, int timeout_ms);

// Makes a Unix_Accept that waits on listening (now or later) return
// UNIX_CLOSED. The descriptor must still be closed with Unix_Close.
void Unix_Wake(int listening);

// Connects to the owner of name within timeout_ms. Returns the descriptor,
// UNIX_NO_PEER, UNIX_TIMED_OUT or UNIX_FAILED.
int Unix_Connect(const std::string& name, int timeout_ms);

// Writes all n bytes within timeout_ms. Returns n, UNIX_TIMED_OUT,
// UNIX_CLOSED or UNIX_FAILED.
long Unix_Send_All(int s, const void* data, std::size_t n, int timeout_ms);

// Reads exactly n bytes within timeout_ms. Returns n, UNIX_CLOSED when the
// peer ended first, UNIX_TIMED_OUT or UNIX_FAILED.
long Unix_Recv_All(int s, void* data, std::size_t n, int timeout_ms);

void Unix_Close(int s);

}  // namespace platform
