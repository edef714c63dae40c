// libwnaspi32.so for real SCSI host adapters through SG_IO. Adapters and
// their targets come from sysfs; each execute request runs on a thread of its
// own (SG_IO blocks) and writes its status byte last.
#include "aspi/sg/sg_backend.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

namespace sgaspi {

namespace {

int Real_Open(const char* path, int flags) { return ::open(path, flags | O_CLOEXEC); }
int Real_Sg_Io(int fd, sg_io_hdr_t* hdr) {
  int r;
  do {
    r = ::ioctl(fd, SG_IO, hdr);
  } while (r < 0 && errno == EINTR);
  return r < 0 ? -1 : 0;
}
int Real_Close(int fd) { return ::close(fd); }

const Os kRealOs = {Real_Open, Real_Sg_Io, Real_Close};
std::atomic<const Os*> g_os{&kRealOs};
std::mutex g_mu;
std::string g_root = "/sys";
std::atomic<bool> g_sync{false};

std::string Root() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_root;
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void Set_Status(std::uint8_t* status, std::uint8_t v) {
  std::atomic_ref<std::uint8_t>(*status).store(v, std::memory_order_release);
}

void Run(SRB_ExecSCSICmd* srb, std::string node) {
  const Os& os = *g_os.load();
  std::uint8_t sense[ASPI_SENSE_LEN] = {};
  sg_io_hdr_t hdr;
  Build_Request(*srb, sense, &hdr);
  bool ok = false;
  const int fd = os.open(node.c_str(), O_RDWR | O_NONBLOCK);
  if (fd >= 0) {
    ok = os.sg_io(fd, &hdr) == 0;
    os.close(fd);
  }
  const std::uint8_t status = Map_Result(hdr, ok, sense, srb);
  Set_Status(&srb->SRB_Status, status);
}

}  // namespace

void Set_Os(const Os* os) { g_os.store(os ? os : &kRealOs); }
void Set_Sysfs_Root(const std::string& root) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_root = root.empty() ? "/sys" : root;
}
void Set_Synchronous(bool on) { g_sync.store(on); }

std::vector<Adapter> List_Adapters(const std::string& root) {
  std::vector<Adapter> out;
  std::vector<std::pair<int, std::string>> hosts;
  for (const std::string& name : Entries(root + "/class/scsi_host")) {
    if (name.rfind("host", 0) != 0) continue;
    char* end = nullptr;
    const long n = std::strtol(name.c_str() + 4, &end, 10);
    if (end == name.c_str() + 4 || *end != '\0' || n < 0 || n > 65535) continue;
    hosts.emplace_back(static_cast<int>(n), name);
  }
  std::sort(hosts.begin(), hosts.end());
  const std::vector<std::string> devices = Entries(root + "/bus/scsi/devices");
  for (const auto& [n, name] : hosts) {
    Adapter a;
    a.host = n;
    std::ifstream id(root + "/class/scsi_host/" + name + "/this_id");
    int own = -1;
    if (id >> own && own >= 0 && own <= 15) a.own_id = own;
    a.sg_node.assign(16, "");
    for (const std::string& dev : devices) {
      int h, c, t, l;
      char tail;
      if (std::sscanf(dev.c_str(), "%d:%d:%d:%d%c", &h, &c, &t, &l, &tail) != 4) continue;
      if (h != n || c != 0 || l != 0 || t < 0 || t > 15) continue;
      const std::vector<std::string> sg = Entries(root + "/bus/scsi/devices/" + dev + "/scsi_generic");
      if (!sg.empty()) a.sg_node[static_cast<std::size_t>(t)] = "/dev/" + sg.front();
    }
    out.push_back(std::move(a));
  }
  return out;
}

void Build_Request(const SRB_ExecSCSICmd& srb, std::uint8_t* sense, sg_io_hdr_t* hdr) {
  std::memset(hdr, 0, sizeof *hdr);
  hdr->interface_id = 'S';
  if (srb.SRB_BufLen == 0 || srb.SRB_BufPointer == nullptr)
    hdr->dxfer_direction = SG_DXFER_NONE;
  else if (srb.SRB_Flags & SRB_DIR_OUT)
    hdr->dxfer_direction = SG_DXFER_TO_DEV;
  else
    hdr->dxfer_direction = SG_DXFER_FROM_DEV;
  hdr->cmd_len = 6;
  hdr->mx_sb_len = ASPI_SENSE_LEN;
  hdr->dxfer_len = hdr->dxfer_direction == SG_DXFER_NONE ? 0 : srb.SRB_BufLen;
  hdr->dxferp = hdr->dxfer_direction == SG_DXFER_NONE ? nullptr : srb.SRB_BufPointer;
  hdr->cmdp = const_cast<unsigned char*>(srb.CDBByte);
  hdr->sbp = sense;
  hdr->timeout = kCommandTimeoutMs;
}

std::uint8_t Map_Result(const sg_io_hdr_t& hdr, bool ioctl_ok, const std::uint8_t* sense, SRB_ExecSCSICmd* srb) {
  if (!ioctl_ok) {
    // The node is gone or refuses us: nobody answers at that ID.
    srb->SRB_HaStat = HASTAT_SEL_TO;
    srb->SRB_TargStat = STATUS_GOOD;
    return SS_ERR;
  }
  const int host = hdr.host_status;
  if (host == kDidNoConnect || host == kDidBadTarget || host == kDidTimeOut)
    srb->SRB_HaStat = HASTAT_SEL_TO;
  else
    srb->SRB_HaStat = static_cast<std::uint8_t>(host);
  srb->SRB_TargStat = hdr.status;
  if (hdr.status == STATUS_CHKCOND) {
    std::memset(srb->SenseArea, 0, sizeof srb->SenseArea);
    const std::size_t n = std::min<std::size_t>(hdr.sb_len_wr, ASPI_SENSE_LEN);
    std::memcpy(srb->SenseArea, sense, n);
  }
  return srb->SRB_HaStat == HASTAT_OK && hdr.status == STATUS_GOOD ? SS_COMP : SS_ERR;
}

}  // namespace sgaspi

using namespace sgaspi;

extern "C" {

__attribute__((visibility("default"))) uint32_t GetASPI32SupportInfo(void) {
  const std::size_t n = List_Adapters(Root()).size();
  if (n == 0) return std::uint32_t{SS_NO_ADAPTERS} << 8;
  return (std::uint32_t{SS_COMP} << 8) | static_cast<std::uint32_t>(std::min<std::size_t>(n, 255));
}

__attribute__((visibility("default"))) uint32_t SendASPI32Command(void* p) {
  if (p == nullptr) return SS_INVALID_CMD;
  auto* head = static_cast<std::uint8_t*>(p);
  if (head[0] == SC_HA_INQUIRY) {
    auto* q = static_cast<SRB_HAInquiry*>(p);
    const std::vector<Adapter> all = List_Adapters(Root());
    if (q->SRB_HaId >= all.size()) {
      Set_Status(&q->SRB_Status, SS_INVALID_HA);
      return SS_INVALID_HA;
    }
    q->HA_Count = static_cast<std::uint8_t>(std::min<std::size_t>(all.size(), 255));
    q->HA_SCSI_ID = static_cast<std::uint8_t>(all[q->SRB_HaId].own_id);
    std::memcpy(q->HA_ManagerId, "Linux SG_IO     ", 16);
    std::snprintf(reinterpret_cast<char*>(q->HA_Identifier), sizeof q->HA_Identifier, "host%d",
                  all[q->SRB_HaId].host);
    Set_Status(&q->SRB_Status, SS_COMP);
    return SS_COMP;
  }
  if (head[0] == SC_ABORT_SRB) {
    // SG_IO cannot be taken back: the command ends at its time limit.
    auto* a = static_cast<SRB_Abort*>(p);
    Set_Status(&a->SRB_Status, SS_COMP);
    return SS_COMP;
  }
  if (head[0] != SC_EXEC_SCSI_CMD) {
    Set_Status(&head[1], SS_INVALID_CMD);
    return SS_INVALID_CMD;
  }
  auto* srb = static_cast<SRB_ExecSCSICmd*>(p);
  const std::vector<Adapter> all = List_Adapters(Root());
  if (srb->SRB_HaId >= all.size()) {
    Set_Status(&srb->SRB_Status, SS_INVALID_HA);
    return SS_INVALID_HA;
  }
  const Adapter& a = all[srb->SRB_HaId];
  const std::string node = srb->SRB_Target < a.sg_node.size() && srb->SRB_Lun == 0 ? a.sg_node[srb->SRB_Target] : "";
  if (node.empty()) {
    srb->SRB_HaStat = HASTAT_SEL_TO;
    srb->SRB_TargStat = STATUS_GOOD;
    Set_Status(&srb->SRB_Status, SS_ERR);
    return SS_ERR;
  }
  if (g_sync.load()) {
    Run(srb, node);
    return std::atomic_ref<std::uint8_t>(srb->SRB_Status).load(std::memory_order_acquire);
  }
  try {
    std::thread(Run, srb, node).detach();
  } catch (...) {
    srb->SRB_HaStat = HASTAT_SEL_TO;
    Set_Status(&srb->SRB_Status, SS_ERR);
    return SS_ERR;
  }
  return SS_PENDING;
}

}  // extern "C"
