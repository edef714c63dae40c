// Fault injection counters and confinements (see faults.h).
#include "platform/faults.h"

#include <atomic>
#include <cerrno>
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
