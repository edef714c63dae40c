// The TCP/IP channel driver (so_* entry points). The PC listens on one TCP
// port; every HT opens one connection, is numbered by its address (the
// [USE_IP] table of device.ini) and talks a small framing protocol on top of
// TCP: 8-byte headers, the PC polls for data, the HT acknowledges or asks for
// a resend of every data frame, and short control-frame exchanges open and
// close a connection. docs/tcpip_framing.md describes the wire format.
//
// Results: >= 0 success as each function says; negative codes as in
// SoResult. Socket handles are the positive numbers so_open and so_accept
// return; 0 or less is refused with -1 by every function that takes one, and
// so is a number this driver did not hand out (or has closed).
//
// Time limits come from device.ini [ETHERNET]: TCP_TIMEOUT (seconds, default
// 60) bounds a whole send or receive, each handshake or close phase and each
// frame read; SELECT_TIMEOUT (seconds, default 60) bounds the wait for an
// answer to one poll or data frame. Every wait after would-block is a
// readiness wait of at most 100 ms under the operation's deadline on a
// monotonic clock.
//
// Threads: one thread may listen and accept while other threads send,
// receive and close on their own connections; calls on different connections
// may run at the same time. One connection is used by one thread at a time.
#pragma once

#include <cstdint>

struct ChannelDriver;

// Station number (HT number, 1..255) of the connection so_accept accepted
// last, 0 after a refused one. Written by so_accept (release store); the
// accepting thread reads it right after each accept.
extern int GTcpIpHtNo;

enum SoResult : int {
  SO_BAD_ARGUMENT = -1,  // bad argument, unknown socket, socket/bind/accept/select failure,
                         // no answer to a poll or data frame in SELECT_TIMEOUT
  SO_SOCKET_ERROR = -2,  // socket error during a poll, handshake or close exchange
  SO_LISTEN_FAILED = -3,
  SO_TIMED_OUT = -4,     // TCP_TIMEOUT passed with nothing delivered, or a phase timed out
  SO_MODE_FAILED = -5,   // switching between blocking and non-blocking failed
  SO_RESET_FAILED = -6,
  SO_TABLE_FULL = -7,    // so_accept: all 255 connection slots taken; connection closed
  SO_NO_STATION = -8,    // so_accept: no station number for the peer; connection closed
  SO_ACCEPT_AGAIN = -9,  // so_accept: a passing failure (too many open files, no kernel
                         // memory, a connection lost before it was taken); the listening
                         // socket is fine: try again a little later
  SO_NONE_WAITING = -18, // so_accept: nobody was waiting after all; listen again
  SO_BAD_PORT = -19,     // so_init: PORTNO is missing or not a number 1..65535
  SO_BAD_LISTEN_ADDRESS = -20,  // so_init: TARNEL_LISTEN is set but not IPv4 dotted decimal
  SO_SEND_BLOCKED = -22, // a data frame could not be handed over within 100 waits (10 s)
  SO_LINK_BROKEN = -27,  // connection failed or closed while sending or reading a frame,
                         // or the peer announced a payload above 8184 bytes
};

// Reads PORTNO, TCP_TIMEOUT, SELECT_TIMEOUT and IOBOX_RBYTES from device.ini
// in the program directory, works out the host's own address, reads
// TARNEL_LISTEN, counts one start of the driver and clears the buffers of
// every free connection slot. A missing device.ini shows message boxes and
// leaves every setting 0 (the kernel then chooses the port). Returns 0;
// -19 when PORTNO is missing or not decimal digits naming 1..65535, -20 when
// TARNEL_LISTEN is set but no IPv4 address; either failure shows a message
// box naming the setting and its value and starts nothing.
int so_init();

// A new IPv4 stream socket in blocking mode, or -1.
int so_open();

// Binds s to the listening address (TARNEL_LISTEN, else all interfaces) and
// PORTNO, then listens with backlog 1..5. 0; -1 when the bind fails or the
// backlog is out of range (the socket stays bound); -3 when listen fails.
int so_bind(int s, int backlog);

// Connects s, blocking, to the PC's own address (TARNEL_LISTEN when set) and
// PORTNO, then makes it non-blocking. 0; the positive errno when the connect
// fails; -5; -1 when count is not 1..5 (the connection is made all the same).
// A connected socket takes part only in so_handshake_connect and so_close.
int so_connect(int s, int count);

// Tests the listening socket for a waiting connection without waiting:
// 1 waiting, 0 none, -1 failure. count is not used.
int so_listen(int s, int count);

// Waits at most timeout_ms for a connection on listening socket s, or until
// so_listen_wake(s). 1 a connection waits, 0 none (the time passed or the
// wake came), -1 s is not a listening socket of this driver or the wait
// failed. Run it on the thread that closes s.
int so_listen_wait(int s, int timeout_ms);

// Ends a so_listen_wait on s at once, from any thread (the next one when
// none runs). 0; -1 when s is not a listening socket of this driver.
int so_listen_wake(int s);

// The TCP port listening socket s is bound to, or -1.
int so_local_port(int s);

// Accepts one connection (non-blocking, TCP_NODELAY, keepalive), numbers it
// and takes a connection slot for it. Returns the new socket and publishes
// its station in GTcpIpHtNo. -1 when the listening socket is unusable; -9
// after a passing failure and -18 when nobody waited after all (listening
// goes on; the caller should pause a little after -9); -8 (GTcpIpHtNo 0)
// when the peer gets no station number; -7 (GTcpIpHtNo 0) when all 255
// slots are taken. After -7 and -8 the connection has been closed and
// listening goes on.
int so_accept(int s);

// The PC's side of opening: greeting (carrying IOBOX_RBYTES), wait for '0',
// send '1', wait for '2'. 0 done; -1 unknown socket; -2 socket error or peer
// closed; -4 time-out. After -2, and after a time-out while waiting for '0',
// the connection is shut down (the socket stays the caller's until
// so_close); after a time-out while waiting for '2' it is left open.
int so_handshake_accept(int s);

// The HT's side of the same exchange for a socket from so_connect: wait for
// an all-zero frame, send '0', wait for '1', send '2'. 0; -1; -2; -4. The
// socket is never closed here.
int so_handshake_connect(int s);

// Sends length (1..65536) bytes as data frames of at most 8184 bytes, each
// acknowledged by the HT before the next goes out; a resend request repeats
// the current frame. An HT data frame that answers a data frame counts as the
// acknowledgement and its payload is queued for so_recv. Returns length; the
// acknowledged count when TCP_TIMEOUT passed after some bytes; -1, -4, -22,
// -27.
long so_send(int s, unsigned char* data, std::uint32_t length);

// Delivers length (1..65536) bytes: first from the queue, then by polling the
// HT frame by frame; the rest of an over-long frame is queued. flags bit 0:
// return at once with what the queue holds (0 when empty), no network
// traffic. Other flag bits are ignored. Returns length; the delivered count
// when TCP_TIMEOUT passed after some bytes; -1, -2, -4, -27.
long so_recv(int s, unsigned char* data, std::uint32_t length, int flags);

// Ends a connection and releases its slot (and the socket) in every mode:
//   '!' (33): close at once, no exchange;
//   1: poll until the HT sends its end frame 0x18, then the final exchange;
//   other: close request '3', wait for the HT's '2' and its own '3', answer
//          '2', then the final exchange;
//   final exchange: send 0x0C, wait for the HT's all-zero frame, close.
// A listening or unconnected socket from so_open is closed at once.
// 0 (also when the HT closed during the exchange); -1 unknown socket or a
// failed frame read while polling; -2 socket error; -4 time-out; -5.
int so_close(int s, unsigned char mode);

// Ends accepted connection s at once from any thread, without releasing its
// slot: both directions are shut down, so the HT sees the end and every
// exchange still running or to come on s fails without waiting. The socket
// stays its owner's to so_close. 0; -1 when s holds no slot.
int so_shutdown(int s);

// Whether the HT of accepted connection s has closed its end or the
// connection has failed (reset, keepalive unanswered), without reading
// anything: 1 gone, 0 not as far as can be told, -1 s holds no slot. Safe
// from any thread while s holds its slot.
int so_peer_gone(int s);

// Undoes every so_init: ends all connections still in slots (shut down; each
// stays its owner's until so_close) and closes the sockets from so_open.
// Returns 0.
int so_reset();

// Number of so_init calls not yet undone by so_reset (diagnostics, tests).
int So_Started_Count();

// The so_* functions as a channel-layer driver table (channel/mux32.h).
const ChannelDriver& Netport_Channel_Driver();
