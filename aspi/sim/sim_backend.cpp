// libwnaspi32.so for simulated IO boxes: every execute request travels over
// a local stream socket to the htsim process that plays the SCSI bus
// (TARNEL_SCSI_SIM names its socket in the abstract namespace), and htsim's
// answers complete the requests from this library's reader thread.
//
// One simulated host adapter, number 0, with SCSI ID 7.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aspi/sim/sim_wire.h"
#include "scsi/aspi.h"

namespace {

constexpr std::uint8_t kAdapterId = 7;

std::mutex g_mu;                 // the connection, the pending table, the tags
int g_fd = -1;
std::uint64_t g_generation = 0;  // connection count, so a stale reader stops
std::map<std::uint32_t, SRB_ExecSCSICmd*> g_pending;
std::uint32_t g_next_tag = 1;
std::mutex g_write_mu;           // whole messages go out one at a time

void Set_Status(SRB_ExecSCSICmd* srb, std::uint8_t status) {
  std::atomic_ref<std::uint8_t>(srb->SRB_Status).store(status, std::memory_order_release);
}

void Finish(SRB_ExecSCSICmd* srb, std::uint8_t status, std::uint8_t ha, std::uint8_t ts) {
  srb->SRB_HaStat = ha;
  srb->SRB_TargStat = ts;
  Set_Status(srb, status);
}

bool Read_All(int fd, void* p, std::size_t n) {
  auto* b = static_cast<std::uint8_t*>(p);
  while (n > 0) {
    const ssize_t r = ::recv(fd, b, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    b += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

bool Write_All(int fd, const void* p, std::size_t n) {
  const auto* b = static_cast<const std::uint8_t*>(p);
  while (n > 0) {
    const ssize_t r = ::send(fd, b, n, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    b += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

// Whether fd is still the connection of that generation (g_write_mu held).
bool Still_Current(int fd, std::uint64_t generation) {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_fd == fd && g_generation == generation;
}

// The bus went away: every request still running ends as a selection
// time-out, and the next request connects again.
void Drop_Connection(std::uint64_t generation) {
  std::map<std::uint32_t, SRB_ExecSCSICmd*> orphans;
  {
    // No write may be under way on the descriptor while it is closed.
    std::lock_guard<std::mutex> writing(g_write_mu);
    std::lock_guard<std::mutex> lock(g_mu);
    if (generation != g_generation || g_fd < 0) return;
    ::shutdown(g_fd, SHUT_RDWR);
    ::close(g_fd);
    g_fd = -1;
    orphans.swap(g_pending);
  }
  for (auto& [tag, srb] : orphans) Finish(srb, SS_ERR, HASTAT_SEL_TO, STATUS_GOOD);
}

void Reader(int fd, std::uint64_t generation) {
  std::vector<std::uint8_t> data;
  for (;;) {
    std::uint8_t h[simwire::kHeader];
    if (!Read_All(fd, h, sizeof h)) break;
    const simwire::Reply r = simwire::Decode_Reply(h);
    if (r.data_len > simwire::kMaxData) break;  // not a bus we can trust
    data.resize(r.data_len);
    if (r.data_len > 0 && !Read_All(fd, data.data(), r.data_len)) break;
    SRB_ExecSCSICmd* srb = nullptr;
    {
      std::lock_guard<std::mutex> lock(g_mu);
      auto it = g_pending.find(r.tag);
      if (it == g_pending.end()) continue;  // aborted meanwhile
      srb = it->second;
      g_pending.erase(it);
    }
    std::uint8_t ha = r.host_status;
    const std::uint32_t room = srb->SRB_BufLen;
    const bool in = (srb->SRB_Flags & SRB_DIR_IN) != 0;
    std::uint32_t n = in ? r.data_len : 0;
    if (n > room) {
      n = room;
      if (ha == HASTAT_OK) ha = HASTAT_DO_DU;
    }
    if (n > 0 && srb->SRB_BufPointer != nullptr) std::memcpy(srb->SRB_BufPointer, data.data(), n);
    if (r.target_status == STATUS_CHKCOND) {
      const std::size_t k = r.sense_len < ASPI_SENSE_LEN ? r.sense_len : ASPI_SENSE_LEN;
      std::memcpy(srb->SenseArea, r.sense, k);
    }
    const bool good = ha == HASTAT_OK && r.target_status == STATUS_GOOD;
    Finish(srb, good ? SS_COMP : SS_ERR, ha, r.target_status);
  }
  Drop_Connection(generation);
}

// Connects when not connected. The lock is held.
bool Connected_Locked() {
  if (g_fd >= 0) return true;
  const char* name = std::getenv("TARNEL_SCSI_SIM");
  if (name == nullptr || name[0] == '\0') return false;
  const std::size_t len = std::strlen(name);
  sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  if (len + 1 > sizeof addr.sun_path) return false;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, name, len);  // abstract namespace
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const auto alen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + len);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), alen) != 0) {
    ::close(fd);
    return false;
  }
  g_fd = fd;
  ++g_generation;
  try {
    std::thread(Reader, fd, g_generation).detach();
  } catch (...) {
    ::close(fd);
    g_fd = -1;
    return false;
  }
  return true;
}

bool Connected() {
  std::lock_guard<std::mutex> lock(g_mu);
  return Connected_Locked();
}

std::uint32_t Execute(SRB_ExecSCSICmd* srb) {
  if (srb->SRB_HaId != 0) {
    Set_Status(srb, SS_INVALID_HA);
    return SS_INVALID_HA;
  }
  srb->SRB_HaStat = 0;
  srb->SRB_TargStat = 0;
  simwire::Request q;
  q.op = simwire::kExecute;
  q.target = srb->SRB_Target;
  q.cdb_len = srb->SRB_CDBLen > 16 ? 16 : srb->SRB_CDBLen;
  std::memcpy(q.cdb, srb->CDBByte, q.cdb_len);
  const bool out = (srb->SRB_Flags & SRB_DIR_OUT) != 0;
  q.direction = out ? simwire::kOut : (srb->SRB_Flags & SRB_DIR_IN) ? simwire::kIn : simwire::kNone;
  q.allocation = out ? 0 : srb->SRB_BufLen;
  q.out_len = out ? srb->SRB_BufLen : 0;
  if (q.out_len > simwire::kMaxData || (q.out_len > 0 && srb->SRB_BufPointer == nullptr)) {
    Finish(srb, SS_ERR, HASTAT_DO_DU, STATUS_GOOD);
    return SS_ERR;
  }
  int fd;
  std::uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    if (!Connected_Locked()) {
      srb->SRB_HaStat = HASTAT_SEL_TO;
      Set_Status(srb, SS_ERR);
      return SS_ERR;
    }
    q.tag = g_next_tag++;
    if (g_next_tag == 0) g_next_tag = 1;
    g_pending[q.tag] = srb;
    fd = g_fd;
    generation = g_generation;
  }
  // Header and data in one write, so the bus wakes once per request.
  std::vector<std::uint8_t> message(simwire::kHeader + q.out_len);
  simwire::Encode(q, message.data());
  if (q.out_len > 0) std::memcpy(message.data() + simwire::kHeader, srb->SRB_BufPointer, q.out_len);
  bool sent;
  {
    std::lock_guard<std::mutex> lock(g_write_mu);
    sent = Still_Current(fd, generation) && Write_All(fd, message.data(), message.size());
  }
  if (!sent) Drop_Connection(generation);
  return SS_PENDING;
}

std::uint32_t Abort(SRB_Abort* a) {
  auto* target = static_cast<SRB_ExecSCSICmd*>(a->SRB_ToAbort);
  std::uint32_t tag = 0;
  int fd = -1;
  std::uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    generation = g_generation;
    for (auto it = g_pending.begin(); it != g_pending.end(); ++it) {
      if (it->second != target) continue;
      tag = it->first;
      g_pending.erase(it);
      fd = g_fd;
      break;
    }
  }
  if (tag != 0) {
    // Nothing writes into the aborted block any more; tell the bus to drop it.
    Set_Status(target, SS_ABORTED);
    simwire::Request q;
    q.tag = tag;
    q.op = simwire::kAbort;
    q.target = target->SRB_Target;
    std::uint8_t h[simwire::kHeader];
    simwire::Encode(q, h);
    std::lock_guard<std::mutex> lock(g_write_mu);
    if (fd >= 0 && Still_Current(fd, generation)) Write_All(fd, h, sizeof h);
  }
  std::atomic_ref<std::uint8_t>(a->SRB_Status).store(SS_COMP, std::memory_order_release);
  return SS_COMP;
}

std::uint32_t Adapter_Inquiry(SRB_HAInquiry* q) {
  if (q->SRB_HaId != 0 || !Connected()) {
    std::atomic_ref<std::uint8_t>(q->SRB_Status).store(SS_INVALID_HA, std::memory_order_release);
    return SS_INVALID_HA;
  }
  q->HA_Count = 1;
  q->HA_SCSI_ID = kAdapterId;
  std::memcpy(q->HA_ManagerId, "tarnel simulator", 16);
  std::memcpy(q->HA_Identifier, "htsim SCSI bus  ", 16);
  std::atomic_ref<std::uint8_t>(q->SRB_Status).store(SS_COMP, std::memory_order_release);
  return SS_COMP;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) uint32_t GetASPI32SupportInfo(void) {
  const char* name = std::getenv("TARNEL_SCSI_SIM");
  if (name == nullptr || name[0] == '\0') return std::uint32_t{SS_FAILED_INIT} << 8;
  if (!Connected()) return std::uint32_t{SS_NO_ADAPTERS} << 8;
  return (std::uint32_t{SS_COMP} << 8) | 1u;
}

__attribute__((visibility("default"))) uint32_t SendASPI32Command(void* srb) {
  if (srb == nullptr) return SS_INVALID_CMD;
  auto* head = static_cast<std::uint8_t*>(srb);
  switch (head[0]) {
    case SC_HA_INQUIRY:
      return Adapter_Inquiry(static_cast<SRB_HAInquiry*>(srb));
    case SC_EXEC_SCSI_CMD:
      return Execute(static_cast<SRB_ExecSCSICmd*>(srb));
    case SC_ABORT_SRB:
      return Abort(static_cast<SRB_Abort*>(srb));
    default:
      std::atomic_ref<std::uint8_t>(head[1]).store(SS_INVALID_CMD, std::memory_order_release);
      return SS_INVALID_CMD;
  }
}

}  // extern "C"
