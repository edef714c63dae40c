// Simulated IO boxes on a simulated SCSI bus. The PC's simulator back end
// (aspi/sim) sends every SCSI command over a local socket; each IO box
// answers INQUIRY as an IO box (or as another device), takes the PC's frames
// from WRITE(6) and hands its terminal's frames to READ(6). Behind each box
// runs the same simulated terminal as over TCP/IP (Session and Link over a
// byte pipe), so steps, disk and transfers behave alike; the box converts
// the few places where the SCSI link differs: the acknowledgement of a data
// frame is 0x00 (with up to 9 bytes of early data), and a READ stays pending
// until the terminal has a frame to give.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "aspi/sim/sim_wire.h"
#include "tools/htsim/link.h"
#include "tools/htsim/session.h"

namespace htsim {

// How a box behaves.
enum class BoxKind {
  kTerminal,  // an IO box with a terminal behind it (the steps)
  kOther,     // a device with another product name: never greeted
  kHang,      // answers INQUIRY, then nothing more
  kHangClose, // a terminal box that stops answering once the close starts
  kBadClose,  // a terminal box that answers the last close frame with 0x01
};

struct BoxOptions {
  int id = 0;
  BoxKind kind = BoxKind::kTerminal;
  SessionOptions session;
  std::string disk_dir;
  LinkOptions link;
  int sessions = 1;           // terminal sessions to run, one per greeting
  unsigned call_after_ms = 0; // the terminal calls this long after a greeting
  std::uint8_t listen_code = 0;  // 0x09, 0x18 or 0x1A: the first listening READ gets it
  std::uint64_t deadline_ms = 0; // the end of the whole run
};

class Bus;

// A byte pipe between the box and its terminal's Link.
class PipeTransport : public Transport {
 public:
  explicit PipeTransport(class IoBox* box) : box_(box) {}
  long Read(std::uint8_t* buf, std::size_t n, std::uint64_t deadline_ms) override;
  bool Write(const std::uint8_t* p, std::size_t n, std::size_t segment, std::uint64_t deadline_ms) override;
  void Close() override;

 private:
  class IoBox* box_;
};

class IoBox {
 public:
  IoBox(BoxOptions options, Bus* bus, std::ostream& out);
  ~IoBox();

  // A command for this box from the bus thread.
  void On_Execute(const simwire::Request& r, std::vector<std::uint8_t> data);
  void On_Abort(std::uint32_t tag);
  // The initiator went away: its pending READs are dropped.
  void Drop_Reads();

  // True when it has no terminal or has run all its sessions.
  bool Done();
  // The first failure among its sessions (0 when none).
  int Exit_Code();
  // Waits for its terminal thread.
  void Join();

  const BoxOptions& Options() const { return options_; }

 private:
  friend class PipeTransport;
  struct PendingRead {
    std::uint32_t tag;
    std::uint32_t allocation;
  };

  bool Has_Terminal() const;
  void Greeting();
  void Start_Terminal();
  void Terminal_Main(int number);
  // Completes pending READs with the frames that are ready (lock held).
  void Pump();
  bool Next_Frame(std::vector<std::uint8_t>* frame);
  void Reply(std::uint32_t tag, std::uint8_t ha, const std::vector<std::uint8_t>& data);

  BoxOptions options_;
  Bus* bus_;
  std::ostream& out_;
  std::unique_ptr<HtDisk> disk_;

  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::uint8_t> to_ht_;   // PC frames for the terminal
  bool ht_input_closed_ = false;
  std::vector<std::uint8_t> from_ht_; // the terminal's frames for the PC
  std::deque<std::vector<std::uint8_t>> own_frames_;  // the box's own answers
  std::vector<std::uint8_t> stash_;  // acknowledgement data too long to be early data
  std::deque<PendingRead> reads_;
  bool ack_expected_ = false;   // the PC's last frame was a data frame
  bool closing_ = false;        // the PC's last frame was 0x0C
  bool term_active_ = false;
  bool handshake_done_ = false;
  bool hung_ = false;
  bool listen_code_sent_ = false;
  bool called_ = false;         // the terminal has sent its call (0x30)
  int sessions_started_ = 0;
  int sessions_done_ = 0;
  int exit_ = 0;
  std::thread terminal_;
  std::vector<std::thread> old_terminals_;
};

// The simulated bus: owns the socket the back end connects to and the boxes.
class Bus {
 public:
  Bus(std::vector<BoxOptions> boxes, std::ostream& out);
  ~Bus();
  // Listens on name (abstract namespace). false with *why when it cannot.
  bool Listen(const std::string& name, std::string* why);
  // Serves until every terminal box is done or deadline_ms passes. Returns
  // htsim's exit code.
  int Serve(std::uint64_t deadline_ms);

  void Send_Reply(const simwire::Reply& r, const std::vector<std::uint8_t>& data);
  void Box_Changed();

 private:
  void Accept_Loop();
  void Serve_Connection(int s);
  IoBox* Box_At(int id);

  std::ostream& out_;
  std::vector<std::unique_ptr<IoBox>> boxes_;
  int listening_ = -1;
  std::mutex write_mu_;
  int conn_ = -1;  // under write_mu_
  std::mutex done_mu_;
  std::condition_variable done_cv_;
  std::thread acceptor_;
};

// Line output with a prefix per line ("box 2 ..."), whole lines at a time.
std::unique_ptr<std::ostream> Prefixed_Stream(std::ostream& out, const std::string& prefix);

}  // namespace htsim
