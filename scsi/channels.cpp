// Channel operations that set up and end IO-box channels: open, listen,
// accept, close and reset.
#include <cstring>

#include "linkman/tether32.h"
#include "platform/atomic.h"
#include "scsi/internal.h"

namespace boxlink {

namespace {

constexpr std::uint32_t kAcceptWaitMs = 9999;
constexpr std::uint32_t kCloseMode1Ms = 10000;
constexpr std::uint32_t kResetSleepMs = 1000;

bool Marker(std::uint8_t c) { return c == kCall || c == kGone1A || c == kBoxReset || c == kGone18; }

// Takes the lowest free channel for ID id. 0 when none is free.
int Take_Channel(int id) {
  State& s = S();
  for (int n = 1; n <= kChannels; ++n) {
    std::uint8_t expected = 0;
    if (!std::atomic_ref<std::uint8_t>(s.ch[n].in_use).compare_exchange_strong(expected, 1)) continue;
    Channel& c = s.ch[n];
    c.id = static_cast<std::uint8_t>(id);
    std::memset(c.send, 0, sizeof c.send);
    std::memset(c.recv, 0, sizeof c.recv);
    c.q_read = c.q_end = c.q_count = 0;
    return n;
  }
  return 0;
}

void Free_Channel(int n) { platform::Store(S().ch[n].in_use, std::uint8_t{0}); }

void Settle_And_Close(int t) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.release_mu);
  Now().sleep(platform::Load(GScanTime));
  if (t >= 0 && t < kIds) Remove(s.open, t);
}

// Frees the channel and releases its box after the settle delay.
void Release(int n, int t) {
  Free_Channel(n);
  Settle_And_Close(t);
}

// A close exchange that failed: frees the channel (unless keep), resets a
// box marked for reset, releases it after the settle delay.
int Failed_Exchange(int n, int t, bool keep) {
  if (!keep) Free_Channel(n);
  const bool marked = Has(Gvp_reset_flag, t);
  if (marked) Hang_Up(t);
  Settle_And_Close(t);
  return marked ? BL_RESET_DURING_CLOSE : BL_WRONG_ANSWER;
}

struct Step {
  enum Kind { kOk, kDeadline, kHostError, kMissing } kind;
  std::uint8_t first;
};

// One WRITE of an 8-byte control frame or one READ of 8 bytes on t's block.
Step Control(int t, bool write, std::uint8_t code, int period) {
  Block* b = Block_For(t);
  if (b == nullptr) {
    Add(Gvp_reset_flag, t);
    return {Step::kDeadline, 0};
  }
  std::memset(b->data, 0, kAckBuffer);
  b->data[0] = write ? code : 0;
  const Outcome o = Execute(*b, platform::Load(S().adapter), t, write ? Cmd::kWrite : Cmd::kRead, b->data,
                            kHeader, kHeader, period);
  if (!o.submitted) return {Step::kMissing, 0};
  if (o.deadline) {
    Add(Gvp_reset_flag, t);
    return {Step::kDeadline, 0};
  }
  if (o.ha != HASTAT_OK) return {Step::kHostError, 0};
  if (o.status != SS_COMP) return {Step::kHostError, 0};
  return {Step::kOk, b->data[0]};
}

}  // namespace

}  // namespace boxlink

using namespace boxlink;

int ch_open() {
  State& s = S();
  if (Discover() < 0) return BL_ASPI_ERROR;
  const int own = platform::Load(s.adapter_id);
  for (int t = 0; t < kIds; ++t) {
    if (!Has(s.found, t) || t == own || Has(s.rejected, t) || Has(s.open, t)) continue;
    Greet(t);
  }
  const int n = Take_Channel(own);
  return n == 0 ? BL_NO_CHANNEL : n;
}

int ch_listen(int channel, int count) {
  State& s = S();
  if (channel < 1 || channel > kChannels || platform::Load(s.ch[channel].in_use) == 0) {
    Log(channel, channel, "ch_listen_1");
    return BL_NOT_IN_USE;
  }
  if (count <= 0) {
    Log(channel, channel, "ch_listen_2");
    return BL_BAD_ARGUMENT;
  }
  if (count > kIds) {
    Log(channel, channel, "ch_listen_3");
    return BL_BAD_ARGUMENT;
  }
  const int own = platform::Load(s.adapter_id);
  const int ha = platform::Load(s.adapter);
  const unsigned scan = platform::Load(Gscsi_scan);

  // Late greeting of boxes found earlier that are not open (released, gone).
  for (int t = 0; t < kIds; ++t) {
    if (!((scan >> t) & 1u) || !Has(s.found, t) || Has(s.open, t) || t == own || Has(s.rejected, t) ||
        Has(Gvp_reset_flag, t))
      continue;
    Outcome o;
    {
      std::lock_guard<std::mutex> lock(s.discovery_mu);
      Block* b = nullptr;
      for (Block& d : s.discovery)
        if (!Pending(d)) {
          b = &d;
          break;
        }
      if (b == nullptr) continue;
      std::memset(b->data, 0, sizeof b->data);
      o = Execute(*b, ha, t, Cmd::kInquiry, b->data, kInquiryLength, 0, kLongPeriod);
    }
    if (!o.submitted) {
      Log(channel, channel, "ch_listen_4");
      return BL_ASPI_ERROR;
    }
    if (o.deadline) continue;
    if (o.ha != HASTAT_OK) {
      if (o.ha != HASTAT_SEL_TO) Log(t, o.ha, "LISTEN");
      continue;
    }
    if (o.status == SS_COMP) Greet(t);
  }

  // Mark the callers.
  for (int t = 0; t < kIds; ++t) {
    PerId& p = s.id[t];
    if (!Has(s.open, t) || platform::Load(p.listening) == 0) continue;
    Block& b = Current(t);
    const std::uint8_t st = Status_Of(b);
    if (st == SS_PENDING) continue;
    if (st == SS_COMP && Marker(b.data[0])) {
      Add(Gscsi_flag, t);
    } else {
      // The listening READ ended without a call (an error or an abort): the
      // box is greeted again by a later listen instead of never being heard.
      platform::Store(p.listening, std::uint8_t{0});
      Remove(s.open, t);
    }
  }

  for (int t = 0; t < kIds; ++t) {
    if (!Has(Gscsi_flag, t)) continue;
    PerId& p = s.id[t];
    Block& b = Current(t);
    const SRB_ExecSCSICmd& r = b.srb;
    if (r.SRB_TargStat == STATUS_CHKCOND) {
      std::memcpy(b.sense, r.SenseArea, ASPI_SENSE_LEN);
      Remove(Gscsi_flag, t);
      platform::Store(p.listening, std::uint8_t{0});
      Remove(s.open, t);
      continue;
    }
    if (r.SRB_HaStat != HASTAT_OK) {
      Remove(Gscsi_flag, t);
      platform::Store(p.listening, std::uint8_t{0});
      Remove(s.open, t);
      Log(channel, channel, "ch_listen_5");
      return BL_ASPI_ERROR;
    }
    const std::uint8_t first = b.data[0];
    if (first == kCall) continue;
    Remove(Gscsi_flag, t);
    platform::Store(p.listening, std::uint8_t{0});
    if (first == kBoxReset) Reset_Box(t);
    Remove(s.open, t);
  }
  return platform::Load(Gscsi_flag) != 0 ? 1 : 0;
}

int ch_accept(int channel) {
  State& s = S();
  if (channel < 1 || channel > kChannels || platform::Load(s.ch[channel].in_use) == 0) return BL_NOT_IN_USE;
  for (;;) {
    const std::uint32_t start = Now().tick();
    while (platform::Load(Gscsi_flag) == 0) {
      if (Now().tick() - start >= kAcceptWaitMs) return BL_TIMED_OUT;
      Now().sleep(1);
    }
    const unsigned marks = platform::Load(Gscsi_flag);
    int t = 0;
    while (t < kIds && !((marks >> t) & 1u)) ++t;
    if (t >= kIds) {
      platform::Store(Gscsi_flag, std::uint8_t{0});
      continue;
    }
    PerId& p = s.id[t];
    bool accepted = false;
    if (Current(t).data[0] == kCall) {
      platform::Store(p.listening, std::uint8_t{0});
      Step w = Control(t, true, kAnswerCall, kLongPeriod);
      if (w.kind == Step::kHostError || w.kind == Step::kMissing) {
        Remove(Gscsi_flag, t);
        Remove(s.open, t);
        return BL_ASPI_ERROR;
      }
      if (w.kind == Step::kOk && Current(t).srb.SRB_TargStat != STATUS_CHKCOND) {
        Step r = Control(t, false, 0, kLongPeriod);
        if (r.kind == Step::kHostError || r.kind == Step::kMissing) {
          Remove(Gscsi_flag, t);
          Remove(s.open, t);
          return BL_ASPI_ERROR;
        }
        accepted = r.kind == Step::kOk && r.first == kCloseAck;
      }
    }
    if (!accepted) {
      // Its call is used up: greet it again at a later listen.
      platform::Store(p.listening, std::uint8_t{0});
      Remove(Gscsi_flag, t);
      Remove(s.open, t);
      continue;
    }
    const int n = Take_Channel(t);
    if (n == 0) return BL_NO_CHANNEL;
    p.early_count = 0;
    std::memset(p.early, 0, sizeof p.early);
    Remove(Gscsi_flag, t);
    return n;
  }
}

int ch_close(int channel, unsigned char mode) {
  State& s = S();
  if (channel < 1 || channel > kChannels || platform::Load(s.ch[channel].in_use) == 0) return BL_NOT_IN_USE;
  Channel& c = s.ch[channel];
  const int t = c.id;
  if (t == platform::Load(s.adapter_id) || t >= kIds) {
    Release(channel, t);
    return 0;
  }
  if (Has(Gvp_reset_flag, t)) {
    Free_Channel(channel);
    Hang_Up(t);
    Settle_And_Close(t);
    return 0;
  }
  bool ended = false;
  if (mode == 1) {
    const std::uint32_t start = Now().tick();
    while (Now().tick() - start < kCloseMode1Ms) {
      Block* b = Block_For(t);
      if (b == nullptr) return Failed_Exchange(channel, t, false);
      std::memset(b->data, 0, kHeader);
      b->data[0] = kPoll;
      Outcome o = Execute(*b, platform::Load(s.adapter), t, Cmd::kWrite, b->data, kHeader, kHeader, kLongPeriod);
      if (o.deadline) Add(Gvp_reset_flag, t);
      if (!o.submitted || o.deadline || o.ha != HASTAT_OK) return Failed_Exchange(channel, t, false);
      std::memset(c.recv, 0, sizeof c.recv);
      o = Execute(*b, platform::Load(s.adapter), t, Cmd::kRead, c.recv, kRecvFrame,
                  static_cast<std::uint16_t>(kRecvFrame), kLongPeriod);
      if (o.deadline) Add(Gvp_reset_flag, t);
      if (!o.submitted || o.deadline || (o.ha != HASTAT_OK && o.ha != HASTAT_DO_DU))
        return Failed_Exchange(channel, t, false);
      const std::uint8_t first = c.recv[0];
      if (first == 0) continue;
      if (first >= 16 && first <= 24) {
        ended = true;
        break;
      }
      return Failed_Exchange(channel, t, false);
    }
    // The HT never said it had ended: the channel is freed all the same, so
    // repeated time-outs cannot use up the channel table.
    if (!ended) return Failed_Exchange(channel, t, false);
  } else {
    const std::uint8_t expect[4] = {0, kCloseAck, kCloseRequest, 0};
    const bool write[4] = {true, false, false, true};
    const std::uint8_t code[4] = {kCloseRequest, 0, 0, kCloseAck};
    for (int i = 0; i < 4; ++i) {
      const Step st = Control(t, write[i], code[i], kLongPeriod);
      if (st.kind == Step::kDeadline) return Failed_Exchange(channel, t, false);
      if (st.kind != Step::kOk) {
        Release(channel, t);
        return BL_ASPI_ERROR;
      }
      if (!write[i] && st.first != expect[i]) {
        Release(channel, t);
        return BL_WRONG_ANSWER;
      }
    }
  }
  Step w = Control(t, true, kLastFrame, kClosePeriod);
  if (w.kind == Step::kDeadline) return Failed_Exchange(channel, t, false);
  if (w.kind != Step::kOk) {
    Release(channel, t);
    return BL_ASPI_ERROR;
  }
  Step r = Control(t, false, 0, kClosePeriod);
  if (r.kind == Step::kDeadline) return Failed_Exchange(channel, t, false);
  if (r.kind != Step::kOk) {
    Release(channel, t);
    return BL_ASPI_ERROR;
  }
  Release(channel, t);
  return r.first == 0 ? 0 : BL_WRONG_ANSWER;
}

int ch_reset() {
  State& s = S();
  const int own = platform::Load(s.adapter_id);
  const int ha = platform::Load(s.adapter);
  for (int t = 0; t < kIds; ++t) {
    if (!Has(s.found, t) || t == own) continue;
    for (Block& b : s.id[t].block) Abort(b, ha);
    platform::Store(s.id[t].listening, std::uint8_t{0});
  }
  platform::Store(Gvp_reset_flag, std::uint8_t{0});
  platform::Store(s.rejected, std::uint8_t{0});
  // Only a running link holds these: after a stop and a new start every box
  // must be greeted again, and no stale call may be accepted.
  platform::Store(s.open, std::uint8_t{0});
  platform::Store(Gscsi_flag, std::uint8_t{0});
  for (int n = 1; n <= kChannels; ++n) Free_Channel(n);
  Now().sleep(kResetSleepMs);
  return 0;
}
