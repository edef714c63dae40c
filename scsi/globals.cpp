#include "scsi/boxlink.h"

std::uint32_t GScanTime = 2000;
int SCSILOG = 0;
int Gscsi_flag = 0;
int Gvp_reset_flag = 0;
