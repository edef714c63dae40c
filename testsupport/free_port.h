// A TCP port that no socket uses on any address right now (so a test may
// bind it on loopback or, where it checks that, on all interfaces), for
// tests whose device.ini must name a real port (the TCP/IP driver takes
// 1..65535 only). The probe only binds; nothing is sent. Another program
// could take the port before the test binds it; on a test machine that is
// rare enough to accept.
#pragma once

#include <cstdint>
#include <string>

#include "platform/socket.h"

namespace testsupport {

inline std::uint16_t Free_Loopback_Port() {
  const int s = platform::Tcp_Socket_Open();
  if (s <= 0) return 0;
  int port = 0;
  if (platform::Socket_Bind(s, nullptr, 0) == platform::SOCKET_OK) port = platform::Socket_Local_Port(s);
  platform::Socket_Close(s);
  return static_cast<std::uint16_t>(port > 0 ? port : 0);
}

// text with every "PORTNO=0" turned into "PORTNO=<a free port>": test
// settings write 0 for "any free port".
inline std::string With_Free_Port(std::string text) {
  const std::string zero = "PORTNO=0";
  for (std::size_t at = text.find(zero); at != std::string::npos; at = text.find(zero, at + 1)) {
    const std::size_t end = at + zero.size();
    if (end < text.size() && text[end] >= '0' && text[end] <= '9') continue;  // PORTNO=05 stays
    text.replace(at, zero.size(), "PORTNO=" + std::to_string(Free_Loopback_Port()));
  }
  return text;
}

}  // namespace testsupport
