// A TCP port on loopback that nobody listens on right now, for tests whose
// device.ini must name a real port (the TCP/IP driver takes 1..65535 only).
// Another program could take it before the test binds it; on a test machine
// that is rare enough to accept.
#pragma once

#include <cstdint>
#include <string>

#include "platform/socket.h"

namespace testsupport {

inline std::uint16_t Free_Loopback_Port() {
  const int s = platform::Tcp_Socket_Open();
  if (s <= 0) return 0;
  int port = 0;
  if (platform::Socket_Bind(s, "127.0.0.1", 0) == platform::SOCKET_OK) port = platform::Socket_Local_Port(s);
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
