// libwnaspi32.so over the Linux SG_IO pass-through: internal interface, with
// the seam over the system calls that the tests replace.
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <string>
#include <vector>

#include "scsi/aspi.h"

namespace sgaspi {

// Host status values of the kernel's SCSI midlayer.
constexpr int kDidOk = 0x00;
constexpr int kDidNoConnect = 0x01;
constexpr int kDidTimeOut = 0x03;
constexpr int kDidBadTarget = 0x04;

// Time limit of one command, milliseconds: below the driver's shortest
// per-command deadline that a real box may need (the 15-second close), so a
// command that never completes is ended by the kernel first.
constexpr unsigned kCommandTimeoutMs = 12000;

// One host adapter as sysfs shows it.
struct Adapter {
  int host = -1;     // N of /sys/class/scsi_host/hostN
  int own_id = 7;    // this_id (7 when unknown)
  // sg node per target ID 0..15 on channel 0, LUN 0 ("" when none).
  std::vector<std::string> sg_node;
};

// The system calls this back end makes; tests install their own.
struct Os {
  int (*open)(const char* path, int flags);
  int (*sg_io)(int fd, sg_io_hdr_t* hdr);  // ioctl(fd, SG_IO, hdr): 0 or -1
  int (*close)(int fd);
};
void Set_Os(const Os* os);          // null restores the real calls
void Set_Sysfs_Root(const std::string& root);  // "" restores "/sys"
void Set_Synchronous(bool on);      // run commands inside SendASPI32Command (tests)

// Host adapters in host-number order, read from <root>/class/scsi_host and
// <root>/bus/scsi/devices.
std::vector<Adapter> List_Adapters(const std::string& root);

// Fills hdr for srb's 6-byte CDB, data buffer and direction; sense goes to
// sense (14 bytes).
void Build_Request(const SRB_ExecSCSICmd& srb, std::uint8_t* sense, sg_io_hdr_t* hdr);

// Writes the result fields of srb from a finished SG_IO (ioctl_ok false: the
// ioctl itself failed) and returns the status byte to store (not stored).
std::uint8_t Map_Result(const sg_io_hdr_t& hdr, bool ioctl_ok, const std::uint8_t* sense, SRB_ExecSCSICmd* srb);

}  // namespace sgaspi
