// htsim's SCSI mode: the simulated bus with its IO boxes (iobox.h).
#pragma once

namespace htsim {

// True when the command line asks for the SCSI mode (--scsi NAME).
bool Is_Scsi_Run(int argc, char** argv);
// Runs it; never returns (the process ends with htsim's exit code).
int Run_Scsi(int argc, char** argv);

}  // namespace htsim
