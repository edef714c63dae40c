// Internal to the IO-box driver: its state, the request helpers and the
// seams the tests replace (the back end's entry points and the clock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "scsi/aspi.h"
#include "scsi/boxlink.h"

namespace boxlink {

constexpr int kIds = 7;  // SCSI IDs 0..6 can be IO boxes
constexpr int kChannels = 8;
constexpr std::size_t kHeader = 8;
constexpr std::size_t kSendFrame = 14352;      // header + 14344 payload bytes
constexpr std::size_t kRecvFrame = 14344;      // header + 14336 payload bytes
constexpr std::uint32_t kSendChunk = 14344;
constexpr std::uint32_t kRecvChunk = 14336;
constexpr std::size_t kAckBuffer = 17;         // 8-byte frame + up to 9 bytes of early data
constexpr std::size_t kEarlyBuffer = 10;
constexpr std::size_t kInquiryBuffer = 96;
constexpr std::uint16_t kInquiryLength = 32;

// Deadlines in whole seconds of calendar time.
constexpr int kLongPeriod = 40;   // discovery in ch_open/ch_listen, greeting, per-ID commands
constexpr int kShortPeriod = 2;   // INQUIRY in chkIoboxOn, abort
constexpr int kClosePeriod = 15;  // the last frame of a close

// Frame codes.
enum : std::uint8_t {
  kAck = 0x00,
  kResendCode = 0x08,
  kBoxReset = 0x09,
  kGreeting = 0x0B,
  kLastFrame = 0x0C,
  kData = 0x10,
  kGone18 = 0x18,
  kGone1A = 0x1A,
  kPoll = 0x20,
  kCall = '0',
  kAnswerCall = '1',
  kCloseAck = '2',
  kCloseRequest = '3',
};

// ---- Seams (requests.cpp) ---------------------------------------------------

struct Clock {
  std::int64_t (*seconds)();        // calendar seconds
  std::uint32_t (*tick)();          // millisecond tick counter
  void (*sleep)(std::uint32_t ms);
};
const Clock& Now();

// Loads the library if needed; true when its entries can be asked for.
bool Library_Ready();
Aspi_Support_Info_Fn Support_Entry();
Aspi_Send_Command_Fn Send_Entry();

// ---- Requests (requests.cpp) ------------------------------------------------

// One execute block with the small buffers it writes into. A block whose
// request is still running (in flight, status 0) is never refilled: the back
// end may write into it until it completes.
struct Block {
  SRB_ExecSCSICmd srb;
  std::uint8_t data[kInquiryBuffer];  // control frames, acknowledgements, INQUIRY data
  std::uint8_t sense[ASPI_SENSE_LEN];
  bool in_flight;                     // submitted and not yet seen completed (atomic access)
};

enum class Cmd { kInquiry, kWrite, kRead };

struct Outcome {
  bool submitted = false;  // false: no SendASPI32Command entry
  bool deadline = false;   // still pending when its deadline passed
  std::uint8_t status = 0;
  std::uint8_t ha = 0;
  std::uint8_t target = 0;
};

// True while b's request is running.
bool Pending(Block& b);
std::uint8_t Status_Of(Block& b);

// Fills b for cmd (count = CDB bytes 3-4 for READ/WRITE), submits it and,
// unless no_wait, polls its status byte: once right after submitting, then
// every millisecond until it is non-zero or period_s seconds passed. With
// target status 2 the sense bytes are copied to b.sense. b must not be
// pending.
Outcome Execute(Block& b, int adapter, int target, Cmd cmd, std::uint8_t* buf, std::uint32_t buf_len,
                std::uint16_t count, int period_s, bool no_wait = false);

// Aborts b's running request: waits up to 2 s for the abort and 2 s more for
// b to complete. True when b is no longer pending.
bool Abort(Block& b, int adapter);

// Host adapter inquiry for adapters first..6: the first that answers with
// status 1. Returns its number and *own_id, or -1 (none answers, or no
// entry point).
int Find_Adapter(int first, int* own_id);

// Whether INQUIRY data names an IO box.
bool Is_Io_Box(const std::uint8_t* inquiry);

// The debug log, when SCSILOG is 1.
void Log(int id, int value, const char* text);

// ---- Driver state (state.cpp) ------------------------------------------------

struct Channel {
  std::uint8_t in_use;  // atomic access
  std::uint8_t id;
  std::uint8_t send[kSendFrame];
  std::uint8_t recv[kRecvFrame];
  std::uint32_t q_read, q_end, q_count;
};

struct PerId {
  Block block[2];  // the one in use and a spare for when it is stuck pending
  int current;     // index of the block in use
  std::uint8_t listening;  // the listening READ runs on block[current] (atomic access)
  std::uint8_t early[kEarlyBuffer];
  std::uint32_t early_count;
};

struct State {
  int adapter;          // host adapter in use (atomic access)
  int adapter_id;       // its own SCSI ID (atomic access)
  int first_open_adapter;
  int first_scan_adapter;
  std::uint8_t found, rejected, open;  // sets over IDs 0..6 (atomic access)
  std::mutex discovery_mu;             // discovery block and INQUIRY buffer
  Block discovery[4];
  std::mutex release_mu;               // serialises the settle delay of released boxes
  PerId id[kIds];
  Channel ch[kChannels + 1];           // index = channel number 1..8
};
State& S();

bool Has(const std::uint8_t& set, int t);
void Add(std::uint8_t& set, int t);
void Remove(std::uint8_t& set, int t);

// The ID's block for its next command: the current one when it is not
// pending, else (after an abort that did not free it) the spare. Null when
// both are stuck.
Block* Block_For(int t);
Block& Current(int t);

// Discovery over IDs in Gscsi_scan that are not open (ch_open). 0 or -22.
int Discover();
// Greets box t and starts its listening READ. True when it is open now.
bool Greet(int t);

// IO-box reset: 0x0C, then READ 8. 0, -26, -22 or -27.
int Reset_Box(int t);
// Writes HUNG_UP, resets the box, and on success removes it from open.
void Hang_Up(int t);

}  // namespace boxlink
