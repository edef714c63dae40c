// One session of the simulated HT over an open link: the handshake, the
// HT's own requests (steps), or, after an idle notice, whatever the PC asks,
// and the close. Every exchange is reported as one line on the output
// stream; the result is the program's exit code.
#pragma once

#include <cstdint>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "tools/htsim/disk.h"
#include "tools/htsim/link.h"
#include "tools/htsim/packet.h"
#include "tools/htsim/steps.h"

namespace htsim {

// Exit codes of htsim; the first failure of a session decides.
enum ExitCode : int {
  kExitOk = 0,          // clean session
  kExitProtocol = 1,    // the PC broke the protocol (bad frame, checksum, sequence)
  kExitUsage = 2,       // bad options or steps
  kExitPcError = 3,     // the PC ended the session with an error code (29 or above)
  kExitTimeout = 4,     // --timeout passed, or the PC went silent
  kExitConnection = 5,  // no connection, or it broke or closed unexpectedly
  kExitRefused = 6,     // the PC refused the connection ("No More Connection")
  kExitHtError = 7,     // the HT could not carry out a PC request and ended the session
};

struct SessionOptions {
  std::vector<Step> steps;        // empty: a plain idle notice
  std::size_t block_size = 2032;  // content bytes per data block the HT sends
  std::uint16_t session_number = 1;
  // Every report line ends with " us=N": the moment it was written, in
  // microseconds of the system's monotonic clock (for benchmarks, which
  // compare these across processes instead of when they read the line).
  bool times = false;
};

class Session {
 public:
  // disk may be null: the HT then has no disk (file requests fail with 57,
  // disk information reports condition 2).
  Session(HtLink& link, const HtDisk* disk, std::ostream& out, SessionOptions options,
          std::uint64_t deadline_ms);

  // Runs the whole session on an open connection; returns the exit code.
  int Run();

 private:
  // Reporting and ending.
  void Line(const std::string& text);
  void Set_Exit(int code);
  void Link_Problem(HtLink::Status s);
  void Pc_End(const PacketView& v);
  void Ht_Error(int code, const std::string& why);
  void Ht_End(std::uint8_t error_class, std::uint8_t detail, bool urgent);
  void Finish();

  // The next PC packet in *v; false when the session is over (the PC ended
  // it, the link failed or the packet was bad, all handled here).
  bool Receive(PacketView* v);
  // Sends a request and receives the PC's response with the same letter.
  bool Exchange(Bytes request, PacketView* v);
  bool Expect(const PacketView& v, std::uint8_t kind, std::uint8_t command, std::uint8_t sub);

  // The HT's own requests.
  void Run_Steps();
  bool Run_Step(const Step& s);
  bool Step_Info(const Step& s);
  bool Step_Send(const Step& s);
  bool Step_Fetch(const Step& s);

  // Sending one HT file: file information, data blocks, the PC's answers.
  bool Send_File(std::uint8_t letter, const fs::path& path, const std::string& name,
                 const std::string& report);

  // Carrying out what the PC asks.
  void Serve_Pc();
  void Serve(const PacketView& v);
  void Pc_Transfer_Info(const PacketView& v, const char* who);
  void Pc_File_Info(const PacketView& v);
  void Pc_Block(const PacketView& v, const char* who);
  void Pc_Fetch(const PacketView& v);
  void Pc_Get_Info(const PacketView& v);
  bool Need_Disk();

  HtLink& link_;
  const HtDisk* disk_;
  std::ostream& out_;
  SessionOptions options_;
  std::uint64_t deadline_;
  Bytes packet_;
  int exit_ = kExitOk;
  bool over_ = false;        // an end indication went either way, or the link failed
  bool ht_ended_ = false;    // the HT sent the end indication
  bool pc_ended_ = false;    // the PC sent the end indication
  bool link_dead_ = false;   // nothing more can be exchanged

  // A file coming from the PC.
  struct Receiving {
    IncomingFile file;
    FileInfo info;
    std::uint8_t letter = 0;
    std::uint8_t next_block = 0;
    std::uint64_t blocks = 0;
    std::string name;
  } rx_;
  bool rx_overwrite_ = false;
  unsigned rx_files_ = 0;    // files the PC announced and has not sent yet

  // The PC's file-information search over the disk.
  std::vector<DiskEntry> search_;
  std::size_t search_next_ = 0;
  std::string search_pattern_;

  // A file going to the PC, read by the link's producer.
  std::ifstream tx_;
  int tx_error_ = 0;
};

}  // namespace htsim
