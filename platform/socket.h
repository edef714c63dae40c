// IPv4 stream sockets: the one place that makes socket system calls. Every
// call retries EINTR itself and turns errno into the small results below, so
// callers never look at errno; Socket_Last_Error() keeps the errno of the
// calling thread's last failure for callers that must report it.
//
// A socket is a descriptor >= 1 (descriptor 0 is never handed out, so a
// socket can serve as a positive channel number). All functions are
// thread-safe in the sense of the underlying system calls: different threads
// may work on different sockets at the same time. Nothing here raises
// SIGPIPE.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Negative results shared by the calls below. Non-negative results are
// descriptors, byte counts or 0 for success, as each call says.
enum SocketResult : int {
  SOCKET_OK = 0,
  SOCKET_WOULD_BLOCK = -1,  // EAGAIN / EWOULDBLOCK: nothing to do right now
  SOCKET_FAILED = -2,       // any other failure; see Socket_Last_Error()
  SOCKET_TIMED_OUT = -3,    // a time limit given to the call passed
  SOCKET_RETRY_LATER = -4,  // Socket_Accept only: a passing shortage or a connection lost
                            // before it could be taken (EMFILE, ENFILE, ENOBUFS, ENOMEM,
                            // ECONNABORTED, EPROTO, EPERM, or a pending network error);
                            // the listening socket is fine, try again later
};

// errno of the calling thread's last SOCKET_FAILED (ETIMEDOUT after
// SOCKET_TIMED_OUT); 0 before any failure.
int Socket_Last_Error();

// Largest dotted-decimal IPv4 text plus its NUL ("255.255.255.255").
constexpr std::size_t kAddressTextSize = 16;

// A new IPv4 stream socket, blocking, close-on-exec. Returns the descriptor
// (>= 1) or SOCKET_FAILED.
int Tcp_Socket_Open();

// Reads the kernel's send and receive buffer sizes (SO_SNDBUF, SO_RCVBUF).
// SOCKET_OK or SOCKET_FAILED.
int Socket_Buffer_Sizes(int s, int* send_bytes, int* recv_bytes);

// Binds s to address:port with SO_REUSEADDR set (so a restarted server can
// listen again while old connections linger in TIME_WAIT; a port that another
// socket listens on still fails). address null or "" is the wildcard (all
// interfaces); otherwise it must be dotted-decimal IPv4 text, else
// SOCKET_FAILED with EINVAL. Port 0 lets the kernel choose (Socket_Local_Port).
int Socket_Bind(int s, const char* address, std::uint16_t port);

// listen(2) with the given backlog; the socket becomes non-blocking, so
// Socket_Accept never waits. SOCKET_OK or SOCKET_FAILED.
int Socket_Listen(int s, int backlog);

// TCP keepalive of accepted connections: the first probe after this many
// seconds without traffic, then one every kKeepaliveIntervalS seconds; after
// kKeepaliveProbes unanswered probes the connection fails (ETIMEDOUT), so a
// terminal that vanished without closing its end does not hold it forever.
constexpr int kKeepaliveIdleS = 60;
constexpr int kKeepaliveIntervalS = 10;
constexpr int kKeepaliveProbes = 3;

// Accepts one waiting connection without blocking. The new socket is
// non-blocking, close-on-exec, has TCP_NODELAY and the keepalive above. When
// peer is not null the peer's address is written there as dotted decimal
// (peer_cap >= kAddressTextSize, else it is cut). Returns the new
// descriptor, SOCKET_WOULD_BLOCK when nobody waits, SOCKET_RETRY_LATER for a
// passing failure (see SocketResult; the connection, if still there, stays
// queued) or SOCKET_FAILED (the listening socket itself is unusable).
int Socket_Accept(int listening, char* peer, std::size_t peer_cap);

// Connects s to address:port (dotted-decimal IPv4). When source is not null
// the socket is first bound to that local address with port 0 (a test peer
// from 127.0.0.N). timeout_ms < 0 waits as long as the kernel does;
// otherwise the attempt ends with SOCKET_TIMED_OUT after that many ms. The
// socket's blocking mode is the same afterwards as before; on success it has
// TCP_NODELAY. Returns SOCKET_OK, SOCKET_FAILED (Socket_Last_Error() says
// why, e.g. ECONNREFUSED) or SOCKET_TIMED_OUT.
int Socket_Connect(int s, const char* address, std::uint16_t port, const char* source,
                   int timeout_ms);

// Switches O_NONBLOCK on or off. SOCKET_OK or SOCKET_FAILED.
int Socket_Set_Non_Blocking(int s, bool on);

// Sets TCP_NODELAY, so small frames go out at once. SOCKET_OK or
// SOCKET_FAILED.
int Socket_Set_No_Delay(int s);

// Hands up to n bytes to the kernel in one call, never blocking, whatever the
// socket's mode. Returns the count taken (1..n; fewer than n when the send
// buffer filled), SOCKET_WOULD_BLOCK when none could be taken, or
// SOCKET_FAILED (peer gone: EPIPE / ECONNRESET). n must be >= 1.
long Socket_Send(int s, const void* data, std::size_t n);

// Socket_Send of the n1 bytes at p1 followed by the n2 bytes at p2 as one
// stream, in one call (a header and its payload without copying them
// together). Returns the count taken from both (1..n1+n2), or as Socket_Send.
// n1 + n2 >= 1.
long Socket_Send_Two(int s, const void* p1, std::size_t n1, const void* p2, std::size_t n2);

// Reads up to n bytes without blocking, whatever the socket's mode. Returns
// the count read (>= 1), 0 when the peer has closed its side,
// SOCKET_WOULD_BLOCK when nothing has arrived, or SOCKET_FAILED. n >= 1.
long Socket_Recv(int s, void* data, std::size_t n);

// Reads up to n bytes from a socket in blocking mode, waiting at most
// timeout_ms (>= 1) for the first of them, in one system call where
// Socket_Recv plus Socket_Wait take two or three. The wait is the socket's
// receive time-out, set only when it differs from *timeout_set_ms (which the
// caller keeps for this socket, starting at 0). Returns the count read
// (>= 1), 0 when the peer has closed its side, SOCKET_WOULD_BLOCK when the
// time passed or a signal came first (or at once on a non-blocking socket:
// the caller then waits with Socket_Wait), or SOCKET_FAILED. n >= 1.
long Socket_Recv_Within(int s, void* data, std::size_t n, int timeout_ms, int* timeout_set_ms);

enum class SocketWait { Readable, Writable };

// Waits at most timeout_ms (0: just test; < 0: no limit) for s to become
// readable or writable. A socket with an error or a closed peer counts as
// ready, so the next read or write reports it. Interrupted waits resume with
// the time that is left (monotonic clock). Returns 1 when ready, 0 when the
// time passed, SOCKET_FAILED when the wait itself failed.
int Socket_Wait(int s, SocketWait what, int timeout_ms);

// Tests, without waiting or reading, whether the peer of connected socket s
// has closed its end or the connection has failed (reset, or keepalive
// probes unanswered). 1 gone, 0 not as far as can be told, SOCKET_FAILED
// when s cannot be tested. Unread data does not count either way.
int Socket_Peer_Gone(int s);

// A wake-up for Socket_Wait_Or_Wake: one thread waits on a socket, another
// ends that wait at once with Wake_Signal. Wake_Open returns the wake's
// descriptor (>= 1) or SOCKET_FAILED; Wake_Close releases it.
int Wake_Open();
// Makes the next (or the current) Socket_Wait_Or_Wake on w return at once.
// Signals do not count up: several before a wait end one wait.
void Wake_Signal(int w);
void Wake_Close(int w);

// Waits at most timeout_ms (0: just test; < 0: no limit) until s is readable
// or w is signalled. Returns 1 when s is readable, 2 when only the wake came,
// 0 when the time passed, SOCKET_FAILED when the wait itself failed. A
// signal is used up by the wait that sees it, whatever it returns.
int Socket_Wait_Or_Wake(int s, int w, int timeout_ms);

// The peer's address as dotted decimal into out[cap]. SOCKET_OK or
// SOCKET_FAILED (out then holds "").
int Socket_Peer_Address(int s, char* out, std::size_t cap);

// The local port s is bound to (host byte order), or SOCKET_FAILED.
int Socket_Local_Port(int s);

// Ends both directions of a connection without releasing the descriptor: the
// peer sees the end, further reads give 0 and writes fail. SOCKET_OK or
// SOCKET_FAILED.
int Socket_Shutdown(int s);

// Releases the descriptor (never retried: on Linux the descriptor is gone
// even when close reports EINTR). SOCKET_OK or SOCKET_FAILED.
int Socket_Close(int s);

// True when text is dotted-decimal IPv4 ("10.0.0.7"; "10.0.000.7" is not).
bool Is_Ipv4_Address(const char* text);

// The TCP port a settings text names: decimal digits only (no sign, no
// blanks), value 1 to 65535. Returns the port, or -1 for anything else
// ("", "abc", "0", "99999", "5000x", null).
int Port_Number_From_Text(const char* text);

// This host's own IPv4 address as the operator and connecting programs know
// it: the first non-loopback IPv4 address among the interfaces that are up,
// else the first IPv4 address the host name resolves to, else "127.0.0.1".
// Always writes a NUL-terminated text (cut to cap - 1 characters).
void Host_Address(char* out, std::size_t cap);

// The listening address named by the environment variable TARNEL_LISTEN.
// Returns false (out = "") when the variable is unset or empty; otherwise
// copies its text (cut to cap - 1 characters) and returns true, valid or
// not, so a bad value makes the bind fail visibly.
bool Listen_Address_From_Environment(char* out, std::size_t cap);

}  // namespace platform
