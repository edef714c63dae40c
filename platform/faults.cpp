// Fault injection counters and confinements (see faults.h).
#include "platform/faults.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

namespace platform::faults {

namespace {

constexpr int kKinds = static_cast<int>(Call::kCount);

struct Slot {
  std::atomic<unsigned long> calls{0};
  std::atomic<unsigned long> fail_at{0};
  std::atomic<int> error{0};
  std::atomic<bool> fired{false};
};

Slot g_slots[kKinds];
std::atomic<bool> g_enabled{false};
std::atomic<bool> g_children_refused{false};
std::atomic<bool> g_confined{false};
std::atomic<bool> g_peer_set{false};
std::atomic<std::uint32_t> g_peer{0};  // network byte order
std::mutex g_root_mutex;
std::string g_root;  // guarded by g_root_mutex

Slot& Of(Call kind) { return g_slots[static_cast<int>(kind)]; }

}  // namespace

void Fail_Nth(Call kind, unsigned long n, int error) {
  Slot& s = Of(kind);
  s.fail_at.store(0);
  s.calls.store(0);
  s.fired.store(false);
  s.error.store(error);
  s.fail_at.store(n);
}

void Reset() {
  g_peer_set.store(false);
  for (Slot& s : g_slots) {
    s.fail_at.store(0);
    s.calls.store(0);
    s.fired.store(false);
  }
}

unsigned long Calls(Call kind) { return Of(kind).calls.load(); }
bool Fired(Call kind) { return Of(kind).fired.load(); }

void Enable(bool on) { g_enabled.store(on); }
bool Enabled() { return g_enabled.load(std::memory_order_relaxed); }

bool Should_Fail(Call kind) {
  if (!g_enabled.load(std::memory_order_relaxed)) return false;
  Slot& s = Of(kind);
  const unsigned long n = s.calls.fetch_add(1) + 1;
  const unsigned long at = s.fail_at.load();
  if (at == 0 || n != at) return false;
  s.fired.store(true);
  errno = s.error.load();
  return true;
}

bool Only_Peer(const std::string& peer) {
  if (peer.empty()) {
    g_peer_set.store(false);
    return true;
  }
  in_addr a{};
  if (inet_pton(AF_INET, peer.c_str(), &a) != 1) return false;
  g_peer.store(a.s_addr);
  g_peer_set.store(true);
  return true;
}

bool Should_Fail_Socket(Call kind, int s) {
  if (!g_enabled.load(std::memory_order_relaxed)) return false;
  if (g_peer_set.load()) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    const int saved = errno;
    const bool ours = getpeername(s, reinterpret_cast<sockaddr*>(&a), &n) == 0 && a.sin_family == AF_INET &&
                      a.sin_addr.s_addr == g_peer.load();
    errno = saved;
    if (!ours) return false;
  }
  return Should_Fail(kind);
}

void Confine_Paths(const std::string& root) {
  std::lock_guard<std::mutex> lock(g_root_mutex);
  g_root = root;
  while (g_root.size() > 1 && g_root.back() == '/') g_root.pop_back();
  g_confined.store(!g_root.empty());
}

bool Path_Allowed(const std::string& native) {
  if (!g_confined.load(std::memory_order_relaxed)) return true;
  std::lock_guard<std::mutex> lock(g_root_mutex);
  if (native.compare(0, g_root.size(), g_root) != 0) return false;
  if (native.size() > g_root.size() && native[g_root.size()] != '/') return false;
  // No component may climb out again.
  std::size_t pos = g_root.size();
  while (pos < native.size()) {
    const std::size_t start = pos + 1;
    std::size_t end = native.find('/', start);
    if (end == std::string::npos) end = native.size();
    if (native.compare(start, end - start, "..") == 0 && end - start == 2) return false;
    pos = end;
  }
  return true;
}

void Refuse_Child_Programs(bool refuse) { g_children_refused.store(refuse); }
bool Child_Programs_Refused() { return g_children_refused.load(); }

}  // namespace platform::faults
