// The SCSI IO-box channel driver (ch_* entry points).
#pragma once

#include <cstdint>

extern std::uint32_t GScanTime;  // IO-box scan interval, milliseconds
extern int SCSILOG;              // non-zero: write the SCSI debug log
extern int Gscsi_flag;
extern int Gvp_reset_flag;
