// Opening, binding, connecting, listening and accepting.
#include "platform/atomic.h"
#include "platform/socket.h"
#include "tcpip/internal.h"
#include "tcpip/netport.h"

using namespace netport;

int so_open() {
  int s = platform::Tcp_Socket_Open();
  if (s <= 0) return SO_BAD_ARGUMENT;
  int snd = 0, rcv = 0;
  if (platform::Socket_Buffer_Sizes(s, &snd, &rcv) != platform::SOCKET_OK || !Track_Opened(s)) {
    platform::Socket_Close(s);
    return SO_BAD_ARGUMENT;
  }
  return s;
}

constexpr int kKernelBacklog = 256;

int so_bind(int s, int backlog) {
  if (s <= 0 || Opened_Kind(s) == OpenedKind::None) return SO_BAD_ARGUMENT;
  const std::string address = Bind_Address();
  const auto port = static_cast<std::uint16_t>(g_settings.port.load());
  if (platform::Socket_Bind(s, address.c_str(), port) != platform::SOCKET_OK)
    return SO_BAD_ARGUMENT;
  if (backlog < 1 || backlog > 5) return SO_BAD_ARGUMENT;
  // The caller's backlog (1 to 5) is checked as given, but the kernel's queue
  // is made room for every station: on Linux a connection that finds the
  // queue full is left half-open, and its HT waits for a greeting that never
  // comes while up to 255 HTs may connect at once.
  if (platform::Socket_Listen(s, kKernelBacklog) != platform::SOCKET_OK) return SO_LISTEN_FAILED;
  Mark_Opened(s, OpenedKind::Listening);
  return 0;
}

int so_connect(int s, int count) {
  if (s <= 0 || Opened_Kind(s) == OpenedKind::None) return SO_BAD_ARGUMENT;
  const std::string address = Connect_Address();
  const auto port = static_cast<std::uint16_t>(g_settings.port.load());
  int r = platform::Socket_Connect(s, address.c_str(), port, nullptr, -1);
  if (r != platform::SOCKET_OK) {
    int e = platform::Socket_Last_Error();
    return e > 0 ? e : 1;
  }
  Mark_Opened(s, OpenedKind::Connected);
  if (platform::Socket_Set_Non_Blocking(s, true) != platform::SOCKET_OK) return SO_MODE_FAILED;
  if (count < 1 || count > 5) return SO_BAD_ARGUMENT;
  return 0;
}

int so_listen(int s, int count) {
  (void)count;
  if (s <= 0 || Opened_Kind(s) != OpenedKind::Listening) return SO_BAD_ARGUMENT;
  int r = platform::Socket_Wait(s, platform::SocketWait::Readable, 0);
  return r < 0 ? SO_BAD_ARGUMENT : r;
}

int so_listen_wait(int s, int timeout_ms) {
  const int wake = Listening_Wake(s);
  if (wake < 0) return SO_BAD_ARGUMENT;
  const int r = wake > 0 ? platform::Socket_Wait_Or_Wake(s, wake, timeout_ms)
                         : platform::Socket_Wait(s, platform::SocketWait::Readable, timeout_ms);
  if (r < 0) return SO_BAD_ARGUMENT;
  return r == 1 ? 1 : 0;
}

int so_listen_wake(int s) { return Wake_Listening(s) ? 0 : SO_BAD_ARGUMENT; }

int so_local_port(int s) {
  if (s <= 0 || Opened_Kind(s) != OpenedKind::Listening) return SO_BAD_ARGUMENT;
  const int port = platform::Socket_Local_Port(s);
  return port > 0 ? port : SO_BAD_ARGUMENT;
}

int so_shutdown(int s) { return Shutdown_Slot(s) ? 0 : SO_BAD_ARGUMENT; }

int so_peer_gone(int s) {
  const int r = Peer_Gone_Of_Slot(s);
  return r < 0 ? SO_BAD_ARGUMENT : r;
}

int so_accept(int s) {
  if (s <= 0 || Opened_Kind(s) != OpenedKind::Listening) return SO_BAD_ARGUMENT;
  char peer[platform::kAddressTextSize];
  int c = platform::Socket_Accept(s, peer, sizeof peer);
  if (c == platform::SOCKET_RETRY_LATER) return SO_ACCEPT_AGAIN;
  if (c == platform::SOCKET_WOULD_BLOCK) return SO_NONE_WAITING;
  if (c <= 0) return SO_BAD_ARGUMENT;
  const int station = Station_Number(peer);
  if (station == 0) {
    // Station 0 indexes no HT's tables: the connection cannot be served.
    platform::Socket_Close(c);
    platform::Store(GTcpIpHtNo, 0);
    return SO_NO_STATION;
  }
  if (Take_Slot(c) == nullptr) {
    platform::Socket_Close(c);
    platform::Store(GTcpIpHtNo, 0);
    return SO_TABLE_FULL;
  }
  // Sends and reads never block whatever the mode (they say so per call);
  // blocking mode lets the wait for an HT's answer be the read itself
  // (so_send, so_recv). Should it fail, those waits fall back to polling.
  (void)platform::Socket_Set_Non_Blocking(c, false);
  platform::Store(GTcpIpHtNo, station);
  return c;
}
