// Driver state, IO-box discovery by INQUIRY, the greeting, the power-on
// check (chkIoboxOn), the start (ch_init) and the IO-box reset.
#include <cstring>

#include "linkman/tether32.h"
#include "platform/atomic.h"
#include "scsi/internal.h"
#include "scsi/testing.h"

namespace boxlink {

namespace {

const std::uint8_t kGreetingFrame[kHeader] = {kGreeting, 0, 0, 0, 0, 0, 0, 0};
const std::uint8_t kLastFrameBytes[kHeader] = {kLastFrame, 0, 0, 0, 0, 0, 0, 0};

// A discovery block that is not running (the lock is held). Null when every
// one is stuck pending.
Block* Discovery_Block() {
  for (Block& b : S().discovery)
    if (!Pending(b)) return &b;
  return nullptr;
}

}  // namespace

State& S() {
  static State* const state = new State();
  return *state;
}

bool Has(const std::uint8_t& set, int t) { return (platform::Load(set) >> t) & 1u; }
void Add(std::uint8_t& set, int t) {
  std::atomic_ref<std::uint8_t>(set).fetch_or(static_cast<std::uint8_t>(1u << t), std::memory_order_acq_rel);
}
void Remove(std::uint8_t& set, int t) {
  std::atomic_ref<std::uint8_t>(set).fetch_and(static_cast<std::uint8_t>(~(1u << t)), std::memory_order_acq_rel);
}

Block& Current(int t) { return S().id[t].block[platform::Load(S().id[t].current)]; }

Block* Block_For(int t) {
  PerId& p = S().id[t];
  const int cur = platform::Load(p.current);
  if (!Pending(p.block[cur])) return &p.block[cur];
  // Still running (a listening READ, or a command that passed its deadline):
  // abort it; if the back end keeps it, use the spare block instead.
  if (Abort(p.block[cur], platform::Load(S().adapter))) return &p.block[cur];
  const int other = cur ^ 1;
  if (Pending(p.block[other])) return nullptr;
  platform::Store(p.current, other);
  return &p.block[other];
}

int Discover() {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.discovery_mu);
  for (;;) {
    int own = 7;
    const int ha = Find_Adapter(s.first_open_adapter, &own);
    if (ha < 0) return BL_ASPI_ERROR;
    platform::Store(s.adapter, ha);
    platform::Store(s.adapter_id, own);
    const unsigned scan = platform::Load(Gscsi_scan);
    for (int t = 0; t < kIds; ++t) {
      if (!((scan >> t) & 1u) || t == own || Has(s.open, t) || Has(Gvp_reset_flag, t)) continue;
      Block* b = Discovery_Block();
      if (b == nullptr) return BL_ASPI_ERROR;
      std::memset(b->data, 0, sizeof b->data);
      const Outcome o = Execute(*b, ha, t, Cmd::kInquiry, b->data, kInquiryLength, 0, kLongPeriod);
      if (!o.submitted) return BL_ASPI_ERROR;
      if (o.deadline) continue;
      if (o.ha == HASTAT_SEL_TO) continue;
      if (o.ha != HASTAT_OK) return BL_ASPI_ERROR;
      if (o.status != SS_COMP) continue;
      if (Is_Io_Box(b->data))
        Add(s.found, t);
      else
        Add(s.rejected, t);
    }
    if (platform::Load(s.found) != 0) return 0;
    s.first_open_adapter = ha + 1;
    platform::Store(s.rejected, std::uint8_t{0});
    if (s.first_open_adapter > 6) return BL_ASPI_ERROR;
  }
}

bool Greet(int t) {
  State& s = S();
  Block* b = Block_For(t);
  if (b == nullptr) return false;
  const int ha = platform::Load(s.adapter);
  std::memcpy(b->data, kGreetingFrame, kHeader);
  Outcome o = Execute(*b, ha, t, Cmd::kWrite, b->data, kHeader, kHeader, kLongPeriod);
  if (o.deadline) {
    Add(Gvp_reset_flag, t);
    return false;
  }
  if (!o.submitted || o.ha != HASTAT_OK || o.status != SS_COMP) return false;
  Add(s.open, t);
  std::memset(b->data, 0, kAckBuffer);
  platform::Store(s.id[t].listening, std::uint8_t{1});
  o = Execute(*b, ha, t, Cmd::kRead, b->data, kHeader, kHeader, kLongPeriod, /*no_wait=*/true);
  if (!o.submitted) {
    platform::Store(s.id[t].listening, std::uint8_t{0});
    Remove(s.open, t);
    return false;
  }
  return true;
}

int Reset_Box(int t) {
  Block* b = Block_For(t);
  if (b == nullptr) {
    Add(Gvp_reset_flag, t);
    return BL_DEADLINE;
  }
  const int ha = platform::Load(S().adapter);
  std::memcpy(b->data, kLastFrameBytes, kHeader);
  Outcome o = Execute(*b, ha, t, Cmd::kWrite, b->data, kHeader, kHeader, kLongPeriod);
  if (!o.submitted) return BL_ASPI_ERROR;
  if (o.deadline) {
    Add(Gvp_reset_flag, t);
    return BL_DEADLINE;
  }
  if (o.ha != HASTAT_OK) return BL_ASPI_ERROR;
  std::memset(b->data, 0, kAckBuffer);
  o = Execute(*b, ha, t, Cmd::kRead, b->data, kHeader, kHeader, kLongPeriod);
  if (!o.submitted) return BL_ASPI_ERROR;
  if (o.deadline) {
    Add(Gvp_reset_flag, t);
    return BL_DEADLINE;
  }
  if (o.ha != HASTAT_OK) return BL_ASPI_ERROR;
  return b->data[0] == 0 ? 0 : BL_WRONG_ANSWER;
}

void Hang_Up(int t) {
  Log(t, 0, "HUNG_UP");
  if (Reset_Box(t) == 0) Remove(S().open, t);
}

void Reset_Driver_State() {
  State& s = S();
  s.adapter = 0;
  s.adapter_id = 7;
  s.first_open_adapter = 0;
  s.first_scan_adapter = 0;
  s.found = s.rejected = s.open = 0;
  for (Block& b : s.discovery) std::memset(&b, 0, sizeof b);
  for (PerId& p : s.id) std::memset(&p, 0, sizeof p);
  for (Channel& c : s.ch) std::memset(&c, 0, sizeof c);
  Gscsi_flag = 0;
  Gvp_reset_flag = 0;
}

}  // namespace boxlink

using namespace boxlink;

int ch_init() {
  State& s = S();
  const bool loaded = Library_Ready();
  {
    std::lock_guard<std::mutex> lock(s.discovery_mu);
    for (Block& b : s.discovery)
      if (!Pending(b)) std::memset(&b, 0, sizeof b);
  }
  for (int n = 1; n <= kChannels; ++n) {
    Channel& c = s.ch[n];
    platform::Store(c.in_use, std::uint8_t{0});
    c.id = 0;
    std::memset(c.send, 0, sizeof c.send);
    std::memset(c.recv, 0, sizeof c.recv);
    c.q_read = c.q_end = c.q_count = 0;
  }
  for (PerId& p : s.id) {
    std::memset(p.early, 0, sizeof p.early);
    p.early_count = 0;
  }
  if (!loaded) return 0;
  Aspi_Support_Info_Fn support = Support_Entry();
  if (support == nullptr) return BL_ASPI_ERROR;
  if (((support() >> 8) & 0xFF) == SS_FAILED_INIT) return BL_NEEDS_RESET;
  return 0;
}

int chkIoboxOn(unsigned char* mask) {
  if (mask == nullptr) return BL_BAD_ARGUMENT;
  *mask = 0;
  Aspi_Support_Info_Fn support = Support_Entry();
  if (support == nullptr) return BL_ASPI_ERROR;
  if (((support() >> 8) & 0xFF) == SS_FAILED_INIT) return BL_NEEDS_RESET;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.discovery_mu);
  for (;;) {
    int own = 7;
    const int ha = Find_Adapter(s.first_scan_adapter, &own);
    if (ha < 0) return BL_ASPI_ERROR;
    unsigned on = 0;
    for (int t = 0; t < kIds; ++t) {
      if (t == own) continue;
      if (Has(s.open, t)) {
        on |= 1u << t;
        continue;
      }
      if (Has(s.rejected, t)) continue;
      Block* b = Discovery_Block();
      if (b == nullptr) return BL_ASPI_ERROR;
      std::memset(b->data, 0, sizeof b->data);
      const Outcome o = Execute(*b, ha, t, Cmd::kInquiry, b->data, kInquiryLength, 0, kShortPeriod);
      if (!o.submitted) return BL_ASPI_ERROR;
      if (o.deadline || o.ha == HASTAT_SEL_TO) continue;
      if (o.ha != HASTAT_OK) return BL_ASPI_ERROR;
      if (o.status != SS_COMP) continue;
      if (Is_Io_Box(b->data)) on |= 1u << t;
    }
    if (on != 0) {
      *mask = static_cast<unsigned char>(on);
      return 0;
    }
    s.first_scan_adapter = ha + 1;
    if (s.first_scan_adapter > 6) return BL_ASPI_ERROR;
  }
}
