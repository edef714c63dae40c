// The link manager: starts and stops the link of the chosen interface,
// accepts HT connections and runs one engine per HT on its own thread.
//
// Threads: Start_A_Session, Stop_A_Session and End_Remaining_Sessions run on
// the application's window thread (the thread that owns the main window's
// message target). Everything else happens on the link manager's own
// threads: one RS-232C thread, or one listener thread per running TCP/IP
// link plus one thread per connected HT. They report to the main window by
// posting message 1029 (wParam 0, lParam an ending code) to
// HandleForTetherToMainWindow.
#pragma once

#include <cstdint>

#include "platform/window.h"

// TCP/IP connection marks, shared with the TCP/IP driver (atomic accessors):
//   1..255   1 while that HT number holds a connection
//   256..262 IO-box hang-up already reported (SCSI), boxes 1..7
//   263      number of TCP/IP connections counted now
//   264      MAX_IO, read at TCP/IP start
constexpr int TCPIP_CONN_SIZE = 265;
constexpr int TCPIP_HANGUP_BASE = 256;
constexpr int TCPIP_COUNT_INDEX = 263;
constexpr int TCPIP_MAXIO_INDEX = 264;
extern int TCPIP_Connections[TCPIP_CONN_SIZE];
// IO boxes to scan (bit i = IO box i + 1), read by the SCSI driver.
extern unsigned char Gscsi_scan;

extern platform::HWND HandleForTetherToMainWindow;

// Session types of Start_A_Session and Stop_A_Session.
constexpr unsigned char LINK_RS232C = 1;
constexpr unsigned char LINK_SCSI = 2;
constexpr unsigned char LINK_TCPIP = 3;

// Notification posted to HandleForTetherToMainWindow (user base + 5).
constexpr platform::UINT WM_TETHER_STATUS = platform::WM_USER + 5;

// Starts the link of one type. slot is not used (the application passes 2
// for RS-232C and 0 otherwise).
//   RS-232C: one engine on one thread that runs the engine's RS-232C session
//            loop again and again until the stop.
//   TCP/IP:  starts the channel layer for TCP/IP, opens and binds the
//            listening channel (backlog 5), reads the [USE_IP] table and
//            MAX_IO from device.ini and starts the listener thread.
//   SCSI:    sets the Gscsi_scan bits of the selected HTs 1..7, starts the
//            channel layer for SCSI, opens the listening channel (which
//            finds and greets the IO boxes) and starts the listener thread;
//            each accepted IO box at SCSI ID t runs HT number t + 1.
// Returns 1 when started; -1 when that type runs already, the type is
// unknown, or a step failed. A failed TCP/IP step posts its code first:
// 78 the channel layer did not start (also when PORTNO is no port number
// 1..65535 or TARNEL_LISTEN no IPv4 address; the driver's message box says
// which), 79 the listening channel did not open, 96 the bind failed (the
// channel layer is then reset). A failed SCSI step posts 78 or 79 likewise
// and re-arms the power-on scan.
int Start_A_Session(unsigned char type, unsigned int slot);

// Stops the link of one type, on the window thread, dispatching that
// thread's window messages while it waits (the engines deliver their status
// synchronously to the window).
//   RS-232C: asks the engine to end, waits until the RS-232C thread has
//            acknowledged, ends the thread.
//   TCP/IP:  asks every busy HT to end (an HT that only waits for a command
//            is not asked), waits until each has ended, stops the listener,
//            resets the status records and command buffers of HTs 1..255.
//            Engines that were not asked go on with their connection.
//   SCSI:    as TCP/IP for HTs 1..7, asking also those that wait for a
//            command; then clears the hang-up marks, Gscsi_scan and the
//            power-on scan flag.
// Returns 1 when stopped; -1 when that type is not running (or unknown).
int Stop_A_Session(unsigned char type, unsigned int ignored);

// For the end of the program: asks every engine that still runs (HTs that
// sat idle through a stop) to end and waits up to timeout_ms for their
// threads, dispatching window messages meanwhile. Call it after
// Stop_A_Session. Returns the number of HT threads still running (0: all
// ended and joined); -1 while the TCP/IP or SCSI link still runs.
int End_Remaining_Sessions(std::uint32_t timeout_ms);

// Listed-only mode (off unless the server switches it on): a TCP/IP
// connection whose peer address is not the [USE_IP] entry of the station
// number it gets is turned away as a connection beyond MAX_IO is (the
// "No More Connection" refusal), with one log line naming the address. Any
// thread may switch it; the listener reads it per connection.
void Set_Listed_Only(bool on);
bool Listed_Only();

// Connection events for the operator's log: an HT connected (before its
// greeting), its connection ended (with the ending code of its session),
// or a connection was turned away (reason says why). peer is the address
// text ("127.0.0.3"), or "IO box N" on SCSI; both texts live only for the
// call. Called on the link manager's own threads (listener and HT threads),
// so the hook must be thread-safe and quick; none is installed by default.
enum LinkEventKind : int { LINK_EVENT_CONNECTED = 1, LINK_EVENT_DISCONNECTED = 2, LINK_EVENT_REFUSED = 3 };
struct LinkEvent {
  int kind = 0;
  int ht = 0;          // 0 for a refusal before any HT number was given
  int session = 0;     // the engine's session number on this connection
  int ending = 0;      // LINK_EVENT_DISCONNECTED: the session's ending code
  const char* peer = "";
  const char* reason = "";
};
using LinkEventHook = void (*)(const LinkEvent& event, void* context);
void Set_Link_Event_Hook(LinkEventHook hook, void* context);

// 1 while a session of that type runs (between a successful start and its
// stop), else 0.
int Session_Running(unsigned char type);

// The TCP port the running TCP/IP link listens on (the port actually bound);
// 0 for the other types, when no TCP/IP link runs, or when the driver cannot
// tell.
int Listening_Port(unsigned char type);

// IO-box power-on scan. Each asks the SCSI driver's chkIoboxOn which IO
// boxes are on, at most once until Reset_This_Function_Called_Before_Flag
// (or a SCSI stop or failed start) re-arms it, and writes bit i of the mask
// (as it stands: 0, 1, 2, 4 ... 64) into StartStatus of HT number i + 1.
// The second also replaces Gscsi_scan with the mask. Window thread.
void Check_For_PowerOn_IOboxes();
void Check_For_PowerOn_IOboxes_And_Change_Gscsiscan();
void Reset_This_Function_Called_Before_Flag();
