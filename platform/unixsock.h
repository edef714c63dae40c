// Local stream sockets between programs of this machine: Unix domain sockets
// bound to a file, so that the file system's permissions say who may
// connect, and the server can ask who connected (Unix_Peer). Used for the
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
  UNIX_IN_USE = -2,     // Unix_Listen: a live process serves the path
  UNIX_NO_PEER = -3,    // Unix_Connect: nobody serves the path
  UNIX_TIMED_OUT = -4,
  UNIX_CLOSED = -5,     // the peer ended the connection early / the listener was woken
  UNIX_DENIED = -6,     // Unix_Connect: the permissions of the path or its folders keep this user out
};

// Longest socket path (a socket address holds 108 bytes with the NUL).
constexpr std::size_t kUnixPathMax = 107;

// Serves a socket file at path, whose folder must exist: binds it, gives the
// file the group gid (when gid >= 0) and the permission bits mode, and
// listens. A socket file that a server left behind when it ended (connecting
// to it is refused) is replaced. Returns the listening descriptor;
// UNIX_IN_USE when a live process serves path; UNIX_FAILED (*why, when
// given, says why) when path is empty or longer than kUnixPathMax, when
// something else than a socket is in the way, or when a call fails. Two
// processes that start serving the same path at once are kept apart by a
// lock on the file path + ".lock", so exactly one of them gets it.
int Unix_Listen(const std::string& path, unsigned mode, int gid, std::string* why);

// Listens on name in the abstract namespace (no file, no permissions: for
// simulated devices of the tests and demos only, never for requests that
// carry commands). Returns the listening descriptor, UNIX_IN_USE when the
// name is taken, or UNIX_FAILED (*why).
int Unix_Listen_Abstract(const std::string& name, std::string* why);

// Removes the socket file at path (nothing else: a file of another kind is
// left alone). A server calls it before it closes its listening socket.
void Unix_Remove(const std::string& path);

// Waits up to timeout_ms for a connection and accepts it. Returns the new
// descriptor, UNIX_TIMED_OUT, UNIX_CLOSED after Unix_Wake, or UNIX_FAILED.
int Unix_Accept(int listening, int timeout_ms);

// Makes a Unix_Accept that waits on listening (now or later) return
// UNIX_CLOSED. The descriptor must still be closed with Unix_Close.
void Unix_Wake(int listening);

// Connects to the server of path within timeout_ms. Returns the
// descriptor, UNIX_NO_PEER (no socket file, or nobody serves it),
// UNIX_DENIED, UNIX_TIMED_OUT or UNIX_FAILED.
int Unix_Connect(const std::string& path, int timeout_ms);

// Who is at the other end of connection s: the credentials its process had
// when it connected. False when the system cannot tell.
struct UnixPeer {
  unsigned uid = 0;
  unsigned gid = 0;
  int pid = 0;
};
bool Unix_Peer(int s, UnixPeer* peer);

// Writes all n bytes within timeout_ms. Returns n, UNIX_TIMED_OUT,
// UNIX_CLOSED or UNIX_FAILED.
long Unix_Send_All(int s, const void* data, std::size_t n, int timeout_ms);

// Reads exactly n bytes within timeout_ms. Returns n, UNIX_CLOSED when the
// peer ended first, UNIX_TIMED_OUT or UNIX_FAILED.
long Unix_Recv_All(int s, void* data, std::size_t n, int timeout_ms);

void Unix_Close(int s);

}  // namespace platform
