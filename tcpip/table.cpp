// The connection table (accepted sockets) and the list of sockets from
// so_open. One lock guards both; a slot's buffers are used without it by the
// one thread that works on that connection.
#include <cstring>
#include <mutex>

#include "platform/socket.h"
#include "tcpip/internal.h"

namespace netport {

namespace {

constexpr int kOpenedMax = 64;

struct Opened {
  int socket = 0;
  OpenedKind kind = OpenedKind::None;
  int wake = 0;  // listening sockets: ends a so_listen_wait at once (0: none)
};

std::mutex g_table_mutex;
Slot g_slots[kSlots];
Opened g_opened[kOpenedMax];

void Clear_Buffers(Slot& slot) {
  slot.reader.Clear();
  slot.queue.Clear();
  slot.recv_timeout_ms = 0;
}

Opened* Find_Opened_Locked(int s) {
  for (Opened& o : g_opened)
    if (o.socket == s) return &o;
  return nullptr;
}

void Forget_Locked(Opened& o) {
  platform::Wake_Close(o.wake);
  o = Opened{};
}

}  // namespace

Slot* Find_Slot(int s) {
  if (s <= 0) return nullptr;
  std::lock_guard<std::mutex> lock(g_table_mutex);
  for (Slot& slot : g_slots)
    if (slot.socket == s) return &slot;
  return nullptr;
}

Slot* Take_Slot(int s) {
  std::lock_guard<std::mutex> lock(g_table_mutex);
  for (Slot& slot : g_slots) {
    if (slot.socket != 0) continue;
    Clear_Buffers(slot);
    slot.socket = s;
    return &slot;
  }
  return nullptr;
}

bool Release_Slot(int s, FrameReader* carry) {
  if (s <= 0) return false;
  std::lock_guard<std::mutex> lock(g_table_mutex);
  for (Slot& slot : g_slots) {
    if (slot.socket != s) continue;
    if (carry != nullptr) {
      slot.reader.Consume();
      std::memcpy(carry->buf, slot.reader.buf, slot.reader.held);
      carry->held = slot.reader.held;
      carry->used = 0;
    }
    slot.socket = 0;
    return true;
  }
  return false;
}

int Peer_Gone_Of_Slot(int s) {
  if (s <= 0) return -1;
  std::lock_guard<std::mutex> lock(g_table_mutex);
  for (Slot& slot : g_slots) {
    if (slot.socket != s) continue;
    return platform::Socket_Peer_Gone(s) == 1 ? 1 : 0;
  }
  return -1;
}

void Clear_Free_Slots() {
  std::lock_guard<std::mutex> lock(g_table_mutex);
  for (Slot& slot : g_slots)
    if (slot.socket == 0) Clear_Buffers(slot);
}

bool Track_Opened(int s) {
  std::lock_guard<std::mutex> lock(g_table_mutex);
  Opened* free_entry = Find_Opened_Locked(0);
  if (free_entry == nullptr) return false;
  free_entry->socket = s;
  free_entry->kind = OpenedKind::Plain;
  return true;
}

OpenedKind Opened_Kind(int s) {
  if (s <= 0) return OpenedKind::None;
  std::lock_guard<std::mutex> lock(g_table_mutex);
  Opened* o = Find_Opened_Locked(s);
  return o ? o->kind : OpenedKind::None;
}

void Mark_Opened(int s, OpenedKind kind) {
  if (s <= 0) return;
  std::lock_guard<std::mutex> lock(g_table_mutex);
  Opened* o = Find_Opened_Locked(s);
  if (o == nullptr) return;
  o->kind = kind;
  // Without a wake a waiting listener still sees every connection; only a
  // stop then waits for the end of the current wait.
  if (kind == OpenedKind::Listening && o->wake == 0) {
    const int w = platform::Wake_Open();
    o->wake = w > 0 ? w : 0;
  }
}

int Listening_Wake(int s) {
  if (s <= 0) return -1;
  std::lock_guard<std::mutex> lock(g_table_mutex);
  Opened* o = Find_Opened_Locked(s);
  if (o == nullptr || o->kind != OpenedKind::Listening) return -1;
  return o->wake;
}

bool Wake_Listening(int s) {
  if (s <= 0) return false;
  std::lock_guard<std::mutex> lock(g_table_mutex);
  Opened* o = Find_Opened_Locked(s);
  if (o == nullptr || o->kind != OpenedKind::Listening) return false;
  platform::Wake_Signal(o->wake);
  return true;
}

bool Shutdown_Slot(int s) {
  if (s <= 0) return false;
  std::lock_guard<std::mutex> lock(g_table_mutex);
  // Under the lock the socket cannot be released and closed meanwhile.
  for (Slot& slot : g_slots) {
    if (slot.socket != s) continue;
    platform::Socket_Shutdown(s);
    return true;
  }
  return false;
}

OpenedKind Untrack_Opened(int s) {
  if (s <= 0) return OpenedKind::None;
  std::lock_guard<std::mutex> lock(g_table_mutex);
  Opened* o = Find_Opened_Locked(s);
  if (o == nullptr) return OpenedKind::None;
  OpenedKind kind = o->kind;
  Forget_Locked(*o);
  return kind;
}

void Reset_Tables() {
  std::lock_guard<std::mutex> lock(g_table_mutex);
  // A connection's socket stays with the thread that owns it until that
  // thread's so_close; shutting it down wakes that thread and tells the HT.
  for (Slot& slot : g_slots)
    if (slot.socket != 0) platform::Socket_Shutdown(slot.socket);
  for (Opened& o : g_opened) {
    if (o.socket == 0) continue;
    platform::Socket_Close(o.socket);
    Forget_Locked(o);
  }
}

}  // namespace netport
