// Which IO boxes are powered on: asked of the SCSI driver at most once until
// the scan is re-armed, because asking takes time on the SCSI bus.
#include <atomic>

#include "engine/rox32.h"
#include "linkman/tether32.h"
#include "platform/atomic.h"
#include "scsi/boxlink.h"

namespace {

std::atomic<int> g_scanned{0};

void Scan(bool change_scan_mask) {
  if (g_scanned.load() == 1) return;
  unsigned char mask = 0;
  chkIoboxOn(&mask);  // its result is not examined: the mask stays 0 on failure
  if (change_scan_mask) platform::Store(Gscsi_scan, mask);
  for (int i = 0; i < 7; ++i) platform::Store(Info_Of(i + 1).StartStatus, static_cast<std::int32_t>(mask & (1u << i)));
  g_scanned.store(1);
}

}  // namespace

void Check_For_PowerOn_IOboxes() { Scan(false); }
void Check_For_PowerOn_IOboxes_And_Change_Gscsiscan() { Scan(true); }
void Reset_This_Function_Called_Before_Flag() { g_scanned.store(0); }
