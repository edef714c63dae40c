// The SCSI IO-box channel driver (boxlink): the ch_* channel operations over
// IO boxes on one SCSI host adapter, reached through an ASPI-style back-end
// library (scsi/aspi.h) that platform/ loads at run time.
//
// Every IO box is a SCSI target (ID 0..6) serving one HT. The PC keeps one
// 8-byte READ outstanding per greeted box (the listening READ) to learn that
// its HT calls; everything else is a WRITE of a frame followed by a READ of
// the answer (docs/aspi.md, docs/tcpip_framing.md for the frame layout).
//
// Threads: the link manager's listener calls ch_open, ch_listen, ch_accept
// and closes the listening channel; each HT thread calls ch_send, ch_recv
// and ch_close on its own channel; the scan thread calls chkIoboxOn. The
// exported bytes below are read and written with platform/atomic.h.
#pragma once

#include <cstdint>

#include "channel/mux32.h"

// Settle delay in milliseconds when an IO box is released (initially 3000).
extern std::uint32_t GScanTime;
// 1: write the debug log "c:\debug.lst" (through the PC drive table).
extern int SCSILOG;
// Bit t: the IO box at SCSI ID t has something pending for the listener.
extern unsigned char Gscsi_flag;
// Bit t: the IO box at SCSI ID t stopped answering and must be reset.
extern unsigned char Gvp_reset_flag;

// Results of the driver (negative; positive results are channels or counts).
enum BoxlinkResult : int {
  BL_BAD_ARGUMENT = -1,
  BL_NOT_IN_USE = -2,
  BL_TIMED_OUT = -5,         // accept: nobody called in 9999 ms; recv: 60000 ms passed
  BL_NO_CHANNEL = -8,
  BL_NEEDS_RESET = -21,      // the box must be reset first; also: ASPI failed to start
  BL_ASPI_ERROR = -22,       // entry point missing, adapter error, no adapter or box
  BL_WRONG_ANSWER = -26,     // the box answered a close or reset step wrongly
  BL_DEADLINE = -27,         // a command passed its deadline; the box is marked for reset
  BL_RESET_DURING_CLOSE = -51,
};

// Starts the driver: loads the library, clears the request and frame
// buffers and the channel table, creates the release mutex and checks the
// library's support information. 0; -21 (ASPI failed to initialise); -22 (no
// GetASPI32SupportInfo). Without a loadable library: 0 (later operations
// then fail with -22).
int ch_init();

// Asks every ID but the adapter's own which is a powered-on IO box: *mask
// gets bit t for each (boxes already open count without a command, rejected
// devices are skipped). 0; -21; -22 (also when no library can be loaded, or
// no box answers on any remaining adapter).
int chkIoboxOn(unsigned char* mask);

int ch_open();
int ch_listen(int channel, int count);
int ch_accept(int channel);
long ch_send(int channel, unsigned char* data, std::uint32_t length);
long ch_recv(int channel, unsigned char* data, std::uint32_t length, int flags);
int ch_close(int channel, unsigned char mode);
int ch_reset();

// The driver as the channel layer calls it.
const ChannelDriver& Boxlink_Channel_Driver();
