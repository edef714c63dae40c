#include "scsi/tests/fake_aspi.h"

#include <atomic>
#include <cstring>

#include "scsi/testing.h"

namespace fakeaspi {

namespace {

std::uint32_t Support_Entry() { return Bus::Get().Support(); }
std::uint32_t Send_Entry(void* srb) { return Bus::Get().Send(srb); }

void Set_Status(std::uint8_t* p, std::uint8_t v) { std::atomic_ref<std::uint8_t>(*p).store(v); }

}  // namespace

Bus& Bus::Get() {
  static Bus bus;
  return bus;
}

void Bus::Install() {
  std::lock_guard<std::mutex> lock(mu_);
  for (int i = 0; i < 8; ++i) {
    dev_[i] = Device::kNone;
    reads_[i].clear();
    read_status_[i].clear();
    pending_[i].clear();
  }
  log_.clear();
  support_ = (SS_COMP << 8) | 1;
  write_status_ = 0;
  auto_reset_answer_ = false;
  boxlink::Set_Back_End(Support_Entry, Send_Entry);
}

void Bus::Set_Device(int id, Device d) {
  std::lock_guard<std::mutex> lock(mu_);
  dev_[id] = d;
}

std::vector<Command> Bus::Commands() {
  std::lock_guard<std::mutex> lock(mu_);
  return log_;
}

int Bus::Count(int id, std::uint8_t op) {
  int n = 0;
  for (const Command& c : Commands())
    if (c.target == id && c.op == op) ++n;
  return n;
}

void Bus::Clear_Commands() {
  std::lock_guard<std::mutex> lock(mu_);
  log_.clear();
}

void Bus::Complete(SRB_ExecSCSICmd* srb, const std::vector<std::uint8_t>& frame, std::uint8_t ha, std::uint8_t status) {
  const std::size_t n = std::min<std::size_t>(frame.size(), srb->SRB_BufLen);
  if (n > 0) std::memcpy(srb->SRB_BufPointer, frame.data(), n);
  srb->SRB_HaStat = ha;
  srb->SRB_TargStat = 0;
  Set_Status(&srb->SRB_Status, status);
}

void Bus::Queue_Read(int id, std::vector<std::uint8_t> frame, std::uint8_t ha, std::uint8_t status) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!pending_[id].empty()) {
    SRB_ExecSCSICmd* srb = pending_[id].front();
    pending_[id].pop_front();
    Complete(srb, frame, ha, status);
    return;
  }
  reads_[id].push_back(std::move(frame));
  read_status_[id].emplace_back(ha, status);
}

std::uint32_t Bus::Send(void* p) {
  std::lock_guard<std::mutex> lock(mu_);
  auto* head = static_cast<std::uint8_t*>(p);
  if (head[0] == SC_HA_INQUIRY) {
    auto* q = static_cast<SRB_HAInquiry*>(p);
    if (q->SRB_HaId != 0) {
      Set_Status(&q->SRB_Status, SS_INVALID_HA);
      return SS_INVALID_HA;
    }
    q->HA_Count = 1;
    q->HA_SCSI_ID = 7;
    Set_Status(&q->SRB_Status, SS_COMP);
    return SS_COMP;
  }
  if (head[0] == SC_ABORT_SRB) {
    auto* a = static_cast<SRB_Abort*>(p);
    auto* target = static_cast<SRB_ExecSCSICmd*>(a->SRB_ToAbort);
    log_.push_back(Command{target->SRB_Target, 0xAB, 0, 0, {}});
    for (auto& q : pending_)
      for (auto it = q.begin(); it != q.end(); ++it)
        if (*it == target) {
          q.erase(it);
          Set_Status(&target->SRB_Status, SS_ABORTED);
          break;
        }
    Set_Status(&a->SRB_Status, SS_COMP);
    return SS_COMP;
  }
  auto* srb = static_cast<SRB_ExecSCSICmd*>(p);
  const int t = srb->SRB_Target;
  Command c{t, srb->CDBByte[0], static_cast<std::uint16_t>(srb->CDBByte[3] << 8 | srb->CDBByte[4]), srb->SRB_BufLen, {}};
  if (srb->SRB_Flags & SRB_DIR_OUT) c.data.assign(srb->SRB_BufPointer, srb->SRB_BufPointer + srb->SRB_BufLen);
  log_.push_back(c);
  const Device d = t < 8 ? dev_[t] : Device::kNone;
  if (d == Device::kNone) {
    Complete(srb, {}, HASTAT_SEL_TO, SS_ERR);
    return SS_ERR;
  }
  if (d == Device::kAdapterError) {
    Complete(srb, {}, 0x14, SS_ERR);
    return SS_ERR;
  }
  if (c.op == 0x12) {
    std::vector<std::uint8_t> inq(36, 0);
    std::memcpy(inq.data() + 8, "Tavro   ", 8);
    std::memcpy(inq.data() + 16, d == Device::kOther ? "VT-200 PRINTER  " : "VT-318KLE       ", 16);
    Complete(srb, inq, 0, SS_COMP);
    return SS_COMP;
  }
  if (d == Device::kHang) {
    pending_[t].push_back(srb);
    return SS_PENDING;
  }
  if (c.op == 0x0A) {
    // Like a real box, the box itself answers a reset (0x0C) with zeros.
    if (auto_reset_answer_ && !c.data.empty() && c.data[0] == 0x0C) {
      reads_[t].push_back(Frame(0));
      read_status_[t].emplace_back(0, SS_COMP);
    }
    if (write_status_ != 0) {
      Complete(srb, {}, 0, write_status_);
      return write_status_;
    }
    Complete(srb, {}, 0, SS_COMP);
    return SS_COMP;
  }
  if (!reads_[t].empty()) {
    auto frame = std::move(reads_[t].front());
    reads_[t].pop_front();
    auto [ha, status] = read_status_[t].front();
    read_status_[t].pop_front();
    Complete(srb, frame, ha, status);
    return status;
  }
  pending_[t].push_back(srb);
  return SS_PENDING;
}

std::vector<std::uint8_t> Frame(std::uint8_t code) {
  std::vector<std::uint8_t> f(8, 0);
  f[0] = code;
  return f;
}

std::vector<std::uint8_t> Data_Frame(std::uint8_t code, const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> f(8 + payload.size(), 0);
  f[0] = code;
  f[2] = static_cast<std::uint8_t>(payload.size() & 0xFF);
  f[3] = static_cast<std::uint8_t>(payload.size() >> 8);
  std::copy(payload.begin(), payload.end(), f.begin() + 8);
  return f;
}

}  // namespace fakeaspi
