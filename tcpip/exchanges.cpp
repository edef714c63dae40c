// The control-frame exchanges: opening handshakes and closing.
#include <algorithm>

#include "platform/clock.h"
#include "platform/socket.h"
#include "tcpip/internal.h"
#include "tcpip/netport.h"

using namespace netport;

namespace {

constexpr int kPaceMs = 100;

// Ends a connection whose exchange failed while its socket still belongs to
// the caller (who releases it with so_close): the HT sees the end, and the
// number cannot be handed to another connection meanwhile.
void Drop(int s) { platform::Socket_Shutdown(s); }

// Releases the socket itself.
void Finish(int s) {
  platform::Socket_Set_Non_Blocking(s, false);
  platform::Socket_Close(s);
}

// Result of a close step that failed; the socket is released in every case.
int Finish_With(int s, int result) {
  Finish(s);
  return result;
}

// The end of every close except '!': 0x0C, then the HT's all-zero frame.
int Final_Step(int s, FrameReader& r) {
  if (Send_Control(s, kCloseEnd) == SendOutcome::Failed) return Finish_With(s, SO_SOCKET_ERROR);
  switch (Await_Control(s, r, kHtData, Deadline_From_Now(), kScanRead)) {
    case ScanResult::Found:
      if (platform::Socket_Set_Non_Blocking(s, false) != platform::SOCKET_OK) {
        platform::Socket_Close(s);
        return SO_MODE_FAILED;
      }
      platform::Socket_Close(s);
      return 0;
    case ScanResult::Closed: return Finish_With(s, 0);
    case ScanResult::Failed: return Finish_With(s, SO_SOCKET_ERROR);
    case ScanResult::TimedOut: break;
  }
  return Finish_With(s, SO_TIMED_OUT);
}

// Close mode 1: poll until the HT sends its end-of-session frame.
int Await_End_Of_Session(int s, FrameReader& r) {
  const std::uint64_t deadline = Deadline_From_Now();
  for (;;) {
    if (platform::Monotonic_Ms() >= deadline) return Finish_With(s, SO_TIMED_OUT);
    if (!r.Pending() && Send_Control(s, kPoll) == SendOutcome::Failed)
      return Finish_With(s, SO_SOCKET_ERROR);
    if (Read_Frame(s, r) < 0) return Finish_With(s, SO_BAD_ARGUMENT);
    if (r.buf[0] == kEndOfSession) return Final_Step(s, r);
    // Not the end yet: give the HT a moment before the next poll, unless it
    // has already sent more.
    std::uint64_t now = platform::Monotonic_Ms();
    if (!r.Pending() && now < deadline) {
      int step = static_cast<int>(std::min<std::uint64_t>(kPaceMs, deadline - now));
      platform::Socket_Wait(s, platform::SocketWait::Readable, step);
    }
  }
}

// Every other mode: the PC asks to close ('3'), the HT acknowledges ('2')
// and asks for its own close ('3'), the PC acknowledges ('2').
int Close_Exchange(int s, FrameReader& r) {
  if (Send_Control(s, kStep3) == SendOutcome::Failed) return Finish_With(s, SO_SOCKET_ERROR);
  switch (Await_Control(s, r, kStep2, Deadline_From_Now(), kScanRead)) {
    case ScanResult::Found: break;
    case ScanResult::Closed: return Finish_With(s, 0);
    case ScanResult::Failed: return Finish_With(s, SO_SOCKET_ERROR);
    case ScanResult::TimedOut: return Finish_With(s, SO_TIMED_OUT);
  }
  switch (Await_Control(s, r, kStep3, Deadline_From_Now(), kScanRead)) {
    case ScanResult::Found: break;
    case ScanResult::Closed: return Finish_With(s, 0);
    case ScanResult::Failed: return Finish_With(s, SO_SOCKET_ERROR);
    case ScanResult::TimedOut: return Finish_With(s, SO_TIMED_OUT);
  }
  if (Send_Control(s, kStep2) == SendOutcome::Failed) return Finish_With(s, SO_SOCKET_ERROR);
  return Final_Step(s, r);
}

}  // namespace

int so_handshake_accept(int s) {
  Slot* slot = Find_Slot(s);
  if (slot == nullptr) return SO_BAD_ARGUMENT;
  FrameReader& r = slot->reader;
  const auto rbytes = static_cast<std::uint16_t>(g_settings.iobox_rbytes.load() & 0xFFFF);
  if (Send_Control(s, kGreeting, rbytes) == SendOutcome::Failed) {
    Drop(s);
    return SO_SOCKET_ERROR;
  }
  switch (Await_Control(s, r, kStep0, Deadline_From_Now(), kScanRead)) {
    case ScanResult::Found: break;
    case ScanResult::Closed:
    case ScanResult::Failed: Drop(s); return SO_SOCKET_ERROR;
    case ScanResult::TimedOut: Drop(s); return SO_TIMED_OUT;
  }
  if (Send_Control(s, kStep1) == SendOutcome::Failed) {
    Drop(s);
    return SO_SOCKET_ERROR;
  }
  switch (Await_Control(s, r, kStep2, Deadline_From_Now(), kHeaderSize)) {
    case ScanResult::Found: return 0;
    case ScanResult::Closed:
    case ScanResult::Failed: Drop(s); return SO_SOCKET_ERROR;
    case ScanResult::TimedOut: break;
  }
  return SO_TIMED_OUT;
}

int so_handshake_connect(int s) {
  if (s <= 0 || Opened_Kind(s) != OpenedKind::Connected) return SO_BAD_ARGUMENT;
  FrameReader r;
  switch (Await_Control(s, r, kHtData, Deadline_From_Now(), kScanRead, true)) {
    case ScanResult::Found: break;
    case ScanResult::Closed:
    case ScanResult::Failed: return SO_SOCKET_ERROR;
    case ScanResult::TimedOut: return SO_TIMED_OUT;
  }
  if (Send_Control(s, kStep0) != SendOutcome::Sent) return SO_SOCKET_ERROR;
  switch (Await_Control(s, r, kStep1, Deadline_From_Now(), kScanRead, true)) {
    case ScanResult::Found: break;
    case ScanResult::Closed:
    case ScanResult::Failed: return SO_SOCKET_ERROR;
    case ScanResult::TimedOut: return SO_TIMED_OUT;
  }
  if (Send_Control(s, kStep2) != SendOutcome::Sent) return SO_SOCKET_ERROR;
  return 0;
}

int so_close(int s, unsigned char mode) {
  if (s <= 0) return SO_BAD_ARGUMENT;
  // The frames read while closing go to a scratch reader that starts with
  // whatever the connection had already received.
  FrameReader r;
  if (!Release_Slot(s, &r)) {
    switch (Untrack_Opened(s)) {
      case OpenedKind::None: return SO_BAD_ARGUMENT;
      case OpenedKind::Connected: break;
      case OpenedKind::Plain:
      case OpenedKind::Listening: return Finish_With(s, 0);
    }
  }
  if (mode == '!') {
    platform::Socket_Close(s);
    return 0;
  }
  if (platform::Socket_Set_Non_Blocking(s, true) != platform::SOCKET_OK)
    return Finish_With(s, SO_MODE_FAILED);
  if (mode == 1) return Await_End_Of_Session(s, r);
  return Close_Exchange(s, r);
}
