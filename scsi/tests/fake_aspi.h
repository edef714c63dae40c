// An in-process ASPI back end for the driver's tests: a bus of scripted
// devices. WRITEs complete at once (and are recorded); READs take the next
// frame queued for their target, or stay pending until one is queued.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "scsi/aspi.h"

namespace fakeaspi {

enum class Device { kNone, kIoBox, kOther, kHang, kAdapterError };

struct Command {
  int target;
  std::uint8_t op;       // CDB byte 0
  std::uint16_t count;   // CDB bytes 3-4
  std::uint32_t buf_len;
  std::vector<std::uint8_t> data;  // what a WRITE carried
};

class Bus {
 public:
  static Bus& Get();
  // Installs it as the driver's back end and clears everything.
  void Install();
  void Set_Device(int id, Device d);
  // Queues one answer for the next READ of target id (completing a pending
  // one at once). ha/status as the back end would report them.
  void Queue_Read(int id, std::vector<std::uint8_t> frame, std::uint8_t ha = 0, std::uint8_t status = SS_COMP);
  // Every execute command so far, in order; aborts as op 0xAB.
  std::vector<Command> Commands();
  int Count(int id, std::uint8_t op);
  void Clear_Commands();
  // Every WRITE to id is answered with this status byte (0: normal).
  void Set_Write_Status(std::uint8_t status) { write_status_ = status; }

  // A WRITE of 0x0C queues an all-zero answer for the next READ.
  void Set_Auto_Reset_Answer(bool on) { auto_reset_answer_ = on; }

  std::uint32_t Support() const { return support_; }
  void Set_Support(std::uint32_t v) { support_ = v; }
  std::uint32_t Send(void* srb);

 private:
  struct Pending {
    SRB_ExecSCSICmd* srb;
  };
  void Complete(SRB_ExecSCSICmd* srb, const std::vector<std::uint8_t>& frame, std::uint8_t ha, std::uint8_t status);

  std::mutex mu_;
  Device dev_[8] = {};
  std::deque<std::vector<std::uint8_t>> reads_[8];
  std::deque<std::pair<std::uint8_t, std::uint8_t>> read_status_[8];
  std::deque<SRB_ExecSCSICmd*> pending_[8];
  std::vector<Command> log_;
  std::uint32_t support_ = (SS_COMP << 8) | 1;
  std::uint8_t write_status_ = 0;
  bool auto_reset_answer_ = false;
};

// Control frame helpers.
std::vector<std::uint8_t> Frame(std::uint8_t code);
std::vector<std::uint8_t> Data_Frame(std::uint8_t code, const std::vector<std::uint8_t>& payload);

}  // namespace fakeaspi
