// The TCP/IP driver's frame reader: the input is what an HT sends on its
// connection (a local stream socket pair stands in for it, the writing end
// closed behind the input). Frames are read until the stream fails or
// ends; byte 0 of the input chooses between reading frames and scanning for
// a control frame first, as the driver's handshake does.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tcpip/internal.h"

using namespace netport;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The whole input must fit into the socket's buffer before anyone reads.
  if (size < 1 || size > 60000) return 0;
  int fds[2];
  if (!fuzz::Socket_Pair_Holding(data + 1, size - 1, fds)) return 0;
  ::close(fds[0]);

  g_settings.tcp_timeout.store(1);
  static FrameReader reader;
  static RecvQueue queue;
  reader.Clear();
  queue.Clear();
  if (data[0] & 1) {
    Await_Control(fds[1], reader, static_cast<std::uint8_t>(data[0] >> 1), 0, kScanRead);
  }
  for (int i = 0; i < 4096; ++i) {
    const int n = Read_Frame(fds[1], reader);
    if (n < 0) break;
    if (n > 0 && !queue.Append(reader.buf + kHeaderSize, static_cast<std::uint32_t>(n))) {
      std::uint8_t sink[kMaxPayload];
      queue.Take(sink, sizeof sink);
    }
  }
  ::close(fds[1]);
  return 0;
}
