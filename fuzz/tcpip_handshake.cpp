// The TCP/IP driver's handshakes and closes: the input is what the other
// end sends (a local stream socket pair stands in for the connection; the
// other end stops sending after the input, so every wait ends). Byte 0
// chooses the steps: bits 0-1 the opening (0 none, 1 the PC's accept
// handshake, 2 the connecting side's handshake, 3 both in turn on one
// stream), bits 2-3 the close (0 the close exchange, 1 waiting for the end
// of the session, 2 and 3 an immediate close).
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "tcpip/internal.h"
#include "tcpip/netport.h"

using namespace netport;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The whole input must fit into the socket's buffer before anyone reads.
  if (size < 1 || size > 60000) return 0;
  int fds[2];
  if (!fuzz::Socket_Pair_Holding(data + 1, size - 1, fds)) return 0;
  // The far end reads on (what the PC sends stays in its buffer) but sends
  // nothing more.
  ::shutdown(fds[0], SHUT_WR);

  // Everything the far end sends is queued before the first read, so no
  // wait is needed: a time limit of 0 ends each wait once the bytes are read.
  g_settings.tcp_timeout.store(0);
  g_settings.iobox_rbytes.store(data[0] >> 4);
  const int s = fds[1];
  const int opening = data[0] & 3;
  const int closing = (data[0] >> 2) & 3;
  bool accepted = false;
  if (opening == 1 || opening == 3) {
    accepted = Take_Slot(s) != nullptr;
    if (accepted) so_handshake_accept(s);
  }
  if (opening == 2 || opening == 3) {
    if (accepted) {
      FrameReader carry;
      Release_Slot(s, &carry);
      accepted = false;
    }
    Track_Opened(s);
    Mark_Opened(s, OpenedKind::Connected);
    so_handshake_connect(s);
  }
  if (!accepted && opening == 0) accepted = Take_Slot(s) != nullptr;
  // so_close releases the slot or the opened socket and closes it, whatever
  // the exchange does; a socket it does not know is closed here.
  const unsigned char mode = closing == 0 ? 0 : closing == 1 ? 1 : '!';
  if (so_close(s, mode) == SO_BAD_ARGUMENT) ::close(s);
  ::close(fds[0]);
  return 0;
}
