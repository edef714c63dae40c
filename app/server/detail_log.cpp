#include "app/server/detail_log.h"

#include <cstdio>
#include <cstring>

#include "platform/atomic.h"
#include "platform/pcfs.h"

namespace {

// A fixed-size field up to its first NUL.
template <std::size_t N>
std::string Field(const char (&f)[N]) {
  return std::string(f, strnlen(f, N));
}

}  // namespace

InfoHT Snapshot_Of(int ht) {
  InfoHT out{};
  if (ht < 1 || ht > MAX_HT) return out;
  const InfoHT& in = Info_Of(ht);
  out.HTNo = platform::Load(in.HTNo);
  out.SNo = platform::Load(in.SNo);
  out.Mode = platform::Load(in.Mode);
  out.Cent = platform::Load(in.Cent);
  out.Index = platform::Load(in.Index);
  out.OPMode = platform::Load(in.OPMode);
  platform::Load_Bytes(out.File, in.File, sizeof out.File);
  out.index = platform::Load(in.index);
  out.BatchFlag = platform::Load(in.BatchFlag);
  out.BusyFlag = platform::Load(in.BusyFlag);
  out.IsAdded = platform::Load(in.IsAdded);
  out.AbortFromGUI = platform::Load(in.AbortFromGUI);
  platform::Load_Bytes(out.LogicalNo, in.LogicalNo, sizeof out.LogicalNo);
  platform::Load_Bytes(out.PhysicalNo, in.PhysicalNo, sizeof out.PhysicalNo);
  out.EnableFlag = platform::Load(in.EnableFlag);
  out.CheckFlag = platform::Load(in.CheckFlag);
  out.CurrentlySelected = platform::Load(in.CurrentlySelected);
  out.StartStatus = platform::Load(in.StartStatus);
  out.WaitingGUICommand = platform::Load(in.WaitingGUICommand);
  return out;
}

std::string Format_Detail_Entry(const platform::LocalTime& when, const char* message, const InfoHT* info,
                                const char* commands) {
  char head[64];
  std::snprintf(head, sizeof head, "\n%2d-%2d-%4d  %2d-%2d-%2d", when.day, when.month, when.year, when.hour,
                when.minute, when.second);
  std::string out = head;
  if (message) out += std::string(" ") + message + " ";
  if (info) {
    char record[512];
    std::snprintf(record, sizeof record, "HTNo:%d  SNo:%d  Mode:%d  Cent:%d  Index:%d  OPMode:%d  File:", info->HTNo,
                  info->SNo, info->Mode, info->Cent, info->Index, info->OPMode);
    out += record;
    out += Field(info->File);
    std::snprintf(record, sizeof record, "  index:%d  BatchFlag:%d  BusyFlag:%d  IsAdded:%d  AbortFromGUI:%d  LogicalNo:",
                  info->index, info->BatchFlag, info->BusyFlag, info->IsAdded, info->AbortFromGUI);
    out += record;
    out += Field(info->LogicalNo);
    out += "  PhysicalNo:";
    out += Field(info->PhysicalNo);
    std::snprintf(record, sizeof record,
                  "  EnableFlag:%d  CheckFlag:%d  CurrentlySelected:%d  StartStatus:%d  WaitingGUICommand:%d",
                  info->EnableFlag, info->CheckFlag, info->CurrentlySelected, info->StartStatus,
                  info->WaitingGUICommand);
    out += record;
  }
  if (commands) out += std::string("    Commands:") + commands + "\n";
  return out;
}

bool Append_Detail_Log(const std::string& pc_path, const std::string& text) {
  std::FILE* f = platform::Open_PC_File(pc_path.c_str(), "a");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

bool Log_Error_Window(const std::string& pc_path, int ht, const char* message) {
  const platform::LocalTime now = platform::Get_Local_Time();
  if (ht < 1 || ht > MAX_HT) return Append_Detail_Log(pc_path, Format_Detail_Entry(now, message, nullptr, nullptr));
  const InfoHT snapshot = Snapshot_Of(ht);
  return Append_Detail_Log(pc_path, Format_Detail_Entry(now, message, &snapshot, nullptr));
}
