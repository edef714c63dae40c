// Executing ASPI requests: the back end's entry points, filling and polling
// execute blocks, aborts, the host adapter inquiry, and the debug log.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/aspi_library.h"
#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/pcfs.h"
#include "scsi/internal.h"
#include "scsi/testing.h"

namespace boxlink {

static_assert(sizeof(SRB_HAInquiry) == 60, "host adapter inquiry block");
static_assert(sizeof(SRB_ExecSCSICmd) == 72 + 2 * sizeof(void*), "execute block: 80 bytes with 32-bit pointers");
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == 40 + 2 * sizeof(void*), "CDB position");

namespace {

std::int64_t System_Seconds() { return platform::Calendar_Seconds(); }
const Clock kSystemClock = {System_Seconds, platform::Get_Tick_Count, platform::Sleep_Ms};
std::atomic<const Clock*> g_clock{&kSystemClock};

struct BackEnd {
  Aspi_Support_Info_Fn support;
  Aspi_Send_Command_Fn send;
  bool loaded;
};
std::atomic<const BackEnd*> g_fake{nullptr};
BackEnd g_fake_store[2];
int g_fake_next = 0;

bool Passed(std::int64_t deadline) { return Now().seconds() > deadline; }

constexpr std::uint32_t kSpinMs = 10;

}  // namespace

const Clock& Now() { return *g_clock.load(std::memory_order_acquire); }

void Set_Clock(const Clock* clock) { g_clock.store(clock ? clock : &kSystemClock, std::memory_order_release); }

void Set_Back_End(Aspi_Support_Info_Fn support, Aspi_Send_Command_Fn send, bool loaded) {
  // Two stores alternate so a reader never sees a table being rewritten.
  BackEnd& b = g_fake_store[g_fake_next];
  g_fake_next ^= 1;
  b = BackEnd{support, send, loaded};
  g_fake.store(&b, std::memory_order_release);
}

void Use_Real_Back_End() { g_fake.store(nullptr, std::memory_order_release); }

bool Library_Ready() {
  if (const BackEnd* f = g_fake.load(std::memory_order_acquire)) return f->loaded;
  return platform::Aspi_Load();
}

Aspi_Support_Info_Fn Support_Entry() {
  if (const BackEnd* f = g_fake.load(std::memory_order_acquire)) return f->support;
  return platform::Aspi_Load() ? platform::Aspi_Support_Entry() : nullptr;
}

Aspi_Send_Command_Fn Send_Entry() {
  if (const BackEnd* f = g_fake.load(std::memory_order_acquire)) return f->send;
  return platform::Aspi_Load() ? platform::Aspi_Send_Entry() : nullptr;
}

std::uint8_t Status_Of(Block& b) { return platform::Load(b.srb.SRB_Status); }

bool Pending(Block& b) {
  if (!platform::Load(b.in_flight)) return false;
  if (Status_Of(b) == SS_PENDING) return true;
  platform::Store(b.in_flight, false);
  return false;
}

Outcome Execute(Block& b, int adapter, int target, Cmd cmd, std::uint8_t* buf, std::uint32_t buf_len,
                std::uint16_t count, int period_s, bool no_wait) {
  Outcome o;
  Aspi_Send_Command_Fn send = Send_Entry();
  if (send == nullptr) return o;
  SRB_ExecSCSICmd& r = b.srb;
  std::memset(&r, 0, sizeof r);
  r.SRB_Cmd = SC_EXEC_SCSI_CMD;
  r.SRB_HaId = static_cast<std::uint8_t>(adapter);
  r.SRB_Target = static_cast<std::uint8_t>(target);
  r.SRB_Lun = 0;
  r.SRB_BufLen = buf_len;
  r.SRB_BufPointer = buf;
  r.SRB_SenseLen = ASPI_SENSE_LEN;
  r.SRB_CDBLen = 6;
  switch (cmd) {
    case Cmd::kInquiry:
      r.SRB_Flags = SRB_DIR_IN;
      r.CDBByte[0] = 0x12;
      r.CDBByte[4] = static_cast<std::uint8_t>(kInquiryLength);
      break;
    case Cmd::kWrite:
    case Cmd::kRead:
      r.SRB_Flags = cmd == Cmd::kWrite ? SRB_DIR_OUT : SRB_DIR_IN;
      r.CDBByte[0] = cmd == Cmd::kWrite ? 0x0A : 0x08;
      r.CDBByte[3] = static_cast<std::uint8_t>(count >> 8);
      r.CDBByte[4] = static_cast<std::uint8_t>(count & 0xFF);
      break;
  }
  const std::int64_t deadline = Now().seconds() + period_s;
  platform::Store(b.in_flight, true);
  o.submitted = true;
  send(&r);
  if (no_wait) return o;
  // Look right after submitting; then, for a short while, again whenever
  // the thread gets the processor back (a back end in another process
  // answers within tens of microseconds, far below the 1 ms sleep); after
  // that every millisecond until the deadline.
  std::uint8_t st = Status_Of(b);
  const std::uint32_t spin_start = Now().tick();
  while (st == SS_PENDING && Now().tick() - spin_start < kSpinMs) {
    std::this_thread::yield();
    st = Status_Of(b);
  }
  while (st == SS_PENDING) {
    if (Passed(deadline)) {
      o.deadline = true;
      return o;
    }
    Now().sleep(1);
    st = Status_Of(b);
  }
  platform::Store(b.in_flight, false);
  o.status = st;
  o.ha = r.SRB_HaStat;
  o.target = r.SRB_TargStat;
  if (o.target == STATUS_CHKCOND) std::memcpy(b.sense, r.SenseArea, ASPI_SENSE_LEN);
  return o;
}

bool Abort(Block& b, int adapter) {
  if (!Pending(b)) return true;
  Aspi_Send_Command_Fn send = Send_Entry();
  if (send == nullptr) return false;
  SRB_Abort a;
  std::memset(&a, 0, sizeof a);
  a.SRB_Cmd = SC_ABORT_SRB;
  a.SRB_HaId = static_cast<std::uint8_t>(adapter);
  a.SRB_ToAbort = &b.srb;
  // Aborts and adapter inquiries complete inside SendASPI32Command
  // (docs/aspi.md), so the block on this stack is never written later.
  send(&a);
  std::int64_t deadline = Now().seconds() + kShortPeriod;
  while (platform::Load(a.SRB_Status) == SS_PENDING && !Passed(deadline)) Now().sleep(1);
  deadline = Now().seconds() + kShortPeriod;
  while (Pending(b) && !Passed(deadline)) Now().sleep(1);
  return !Pending(b);
}

int Find_Adapter(int first, int* own_id) {
  Aspi_Send_Command_Fn send = Send_Entry();
  if (send == nullptr) return -1;
  for (int ha = first < 0 ? 0 : first; ha <= 6; ++ha) {
    // Read right after the call returns: back ends answer it inside the call.
    SRB_HAInquiry q;
    std::memset(&q, 0, sizeof q);
    q.SRB_Cmd = SC_HA_INQUIRY;
    q.SRB_HaId = static_cast<std::uint8_t>(ha);
    send(&q);
    if (platform::Load(q.SRB_Status) == SS_COMP) {
      *own_id = q.HA_SCSI_ID;
      return ha;
    }
  }
  return -1;
}

bool Is_Io_Box(const std::uint8_t* inquiry) {
  return std::strncmp(reinterpret_cast<const char*>(inquiry + 8), "Tavro   ", 8) == 0 &&
         std::strncmp(reinterpret_cast<const char*>(inquiry + 16), "VT-318KLE       ", 16) == 0;
}

void Log(int id, int value, const char* text) {
  if (platform::Load(SCSILOG) != 1) return;
  std::FILE* f = platform::Open_PC_File("c:\\debug.lst", "a+");
  if (f == nullptr) return;
  const platform::LocalTime t = platform::Get_Local_Time();
  std::fprintf(f, "\n%3d %3d %2d-%2d-%4d  %2d-%2d-%2d", static_cast<short>(id), 0, t.day, t.month, t.year,
               t.hour, t.minute, t.second);
  std::fprintf(f, " [HT:0x%03X ERR:0x%03X]    %s", static_cast<unsigned>(static_cast<std::uint16_t>(id)),
               static_cast<unsigned>(static_cast<std::uint16_t>(value)), text);
  std::fclose(f);
}

}  // namespace boxlink
