#include "scsi/boxlink.h"

std::uint32_t GScanTime = 3000;
int SCSILOG = 0;
unsigned char Gscsi_flag = 0;
unsigned char Gvp_reset_flag = 0;
