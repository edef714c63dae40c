// Simulated IO boxes and the simulated SCSI bus they sit on.
#include "tools/htsim/iobox.h"

#include <algorithm>
#include <streambuf>

#include "platform/clock.h"
#include "platform/unixsock.h"
#include "scsi/aspi.h"

namespace htsim {

namespace {

constexpr std::uint8_t kInquiryOp = 0x12;
constexpr std::uint8_t kRead6 = 0x08;
constexpr std::uint8_t kWrite6 = 0x0A;
constexpr std::size_t kInquiryData = 36;
constexpr std::size_t kEarlyMax = 9;
constexpr std::size_t kScsiFramePayload = 14336;

std::vector<std::uint8_t> Control_Frame(std::uint8_t code) {
  std::vector<std::uint8_t> f(kFrameHeader, 0);
  f[0] = code;
  return f;
}

std::vector<std::uint8_t> Inquiry_Data(bool io_box) {
  std::vector<std::uint8_t> d(kInquiryData, 0);
  d[0] = 0x03;  // processor device
  d[2] = 0x02;
  d[4] = static_cast<std::uint8_t>(kInquiryData - 5);
  const char* vendor = "Tavro   ";
  const char* product = io_box ? "VT-318KLE       " : "VT-200 PRINTER  ";
  std::copy(vendor, vendor + 8, d.begin() + 8);
  std::copy(product, product + 16, d.begin() + 16);
  std::copy_n("1.00", 4, d.begin() + 32);
  return d;
}

// A streambuf that writes whole lines with a prefix to another stream, one
// line at a time under a lock shared by every box.
std::mutex g_out_mu;

class PrefixBuf : public std::streambuf {
 public:
  PrefixBuf(std::ostream& out, std::string prefix) : out_(out), prefix_(std::move(prefix)) {}

 protected:
  int overflow(int c) override {
    if (c == traits_type::eof()) return 0;
    if (c == '\n') {
      std::lock_guard<std::mutex> lock(g_out_mu);
      out_ << prefix_ << line_ << '\n';
      out_.flush();
      line_.clear();
    } else {
      line_.push_back(static_cast<char>(c));
    }
    return c;
  }

 private:
  std::ostream& out_;
  std::string prefix_;
  std::string line_;
};

class PrefixStream : public std::ostream {
 public:
  PrefixStream(std::ostream& out, const std::string& prefix) : std::ostream(nullptr), buf_(out, prefix) {
    rdbuf(&buf_);
  }

 private:
  PrefixBuf buf_;
};

}  // namespace

std::unique_ptr<std::ostream> Prefixed_Stream(std::ostream& out, const std::string& prefix) {
  return std::make_unique<PrefixStream>(out, prefix);
}

// ---- PipeTransport ----------------------------------------------------------

long PipeTransport::Read(std::uint8_t* buf, std::size_t n, std::uint64_t deadline_ms) {
  std::unique_lock<std::mutex> lock(box_->mu_);
  for (;;) {
    if (!box_->to_ht_.empty()) {
      const std::size_t k = std::min(n, box_->to_ht_.size());
      std::copy(box_->to_ht_.begin(), box_->to_ht_.begin() + static_cast<std::ptrdiff_t>(k), buf);
      box_->to_ht_.erase(box_->to_ht_.begin(), box_->to_ht_.begin() + static_cast<std::ptrdiff_t>(k));
      return static_cast<long>(k);
    }
    if (box_->ht_input_closed_) return kClosed;
    const std::uint64_t now = platform::Monotonic_Ms();
    if (now >= deadline_ms) return kTimedOut;
    box_->cv_.wait_for(lock, std::chrono::milliseconds(std::min<std::uint64_t>(deadline_ms - now, 500)));
  }
}

bool PipeTransport::Write(const std::uint8_t* p, std::size_t n, std::size_t, std::uint64_t) {
  std::lock_guard<std::mutex> lock(box_->mu_);
  if (n > 0 && p[0] == kStep0 && !box_->handshake_done_) box_->called_ = true;
  box_->from_ht_.insert(box_->from_ht_.end(), p, p + n);
  box_->Pump();
  return true;
}

void PipeTransport::Close() {}

// ---- IoBox ------------------------------------------------------------------

IoBox::IoBox(BoxOptions options, Bus* bus, std::ostream& out) : options_(std::move(options)), bus_(bus), out_(out) {
  // The box buffers its terminal's output: one READ takes as much as the
  // PC's receive frame holds.
  options_.link.max_payload = kScsiFramePayload;
  options_.link.fill_frames = true;
  if (!options_.disk_dir.empty()) disk_ = std::make_unique<HtDisk>(options_.disk_dir);
}

IoBox::~IoBox() { Join(); }

bool IoBox::Has_Terminal() const {
  return options_.kind == BoxKind::kTerminal || options_.kind == BoxKind::kHangClose ||
         options_.kind == BoxKind::kBadClose;
}

void IoBox::Join() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mu_);
    threads.swap(old_terminals_);
    if (terminal_.joinable()) threads.push_back(std::move(terminal_));
  }
  for (std::thread& t : threads) t.join();
}

bool IoBox::Done() {
  std::lock_guard<std::mutex> lock(mu_);
  return !Has_Terminal() || sessions_done_ >= options_.sessions;
}

int IoBox::Exit_Code() {
  std::lock_guard<std::mutex> lock(mu_);
  return exit_;
}

void IoBox::Reply(std::uint32_t tag, std::uint8_t ha, const std::vector<std::uint8_t>& data) {
  simwire::Reply r;
  r.tag = tag;
  r.host_status = ha;
  r.data_len = static_cast<std::uint32_t>(data.size());
  bus_->Send_Reply(r, data);
}

void IoBox::Drop_Reads() {
  std::lock_guard<std::mutex> lock(mu_);
  reads_.clear();
}

void IoBox::On_Abort(std::uint32_t tag) {
  std::lock_guard<std::mutex> lock(mu_);
  reads_.erase(std::remove_if(reads_.begin(), reads_.end(), [tag](const PendingRead& r) { return r.tag == tag; }),
               reads_.end());
}

void IoBox::Start_Terminal() {
  to_ht_.assign(kFrameHeader, 0);
  to_ht_[0] = kGreeting;
  ht_input_closed_ = false;
  from_ht_.clear();
  stash_.clear();
  ack_expected_ = false;
  closing_ = false;
  handshake_done_ = false;
  called_ = false;
  term_active_ = true;
  const int number = ++sessions_started_;
  if (terminal_.joinable()) old_terminals_.push_back(std::move(terminal_));
  terminal_ = std::thread(&IoBox::Terminal_Main, this, number);
}

void IoBox::Greeting() {
  if (options_.listen_code != 0 && !listen_code_sent_) {
    listen_code_sent_ = true;
    own_frames_.push_back(Control_Frame(options_.listen_code));
    return;
  }
  if (term_active_) {
    if (!handshake_done_) {
      // Greeted again before the call was answered (the PC restarted its
      // link): the call stands.
      const bool queued = !from_ht_.empty() && from_ht_.front() == kStep0;
      if (called_ && !queued) {
        const std::vector<std::uint8_t> call = Control_Frame(kStep0);
        from_ht_.insert(from_ht_.begin(), call.begin(), call.end());
      }
    } else {
      // The PC started over in the middle of a session: that session is lost.
      ht_input_closed_ = true;
      cv_.notify_all();
    }
    return;
  }
  if (!Has_Terminal() || sessions_started_ >= options_.sessions) return;  // the HT is off
  Start_Terminal();
}

void IoBox::Terminal_Main(int number) {
  if (options_.call_after_ms > 0) platform::Sleep_Ms(options_.call_after_ms);
  auto out = Prefixed_Stream(out_, "box " + std::to_string(options_.id) + " ");
  *out << "link session " << number << std::endl;
  int code;
  {
    PipeTransport t(this);
    Link link(t, options_.link);
    Session session(link, disk_.get(), *out, options_.session, options_.deadline_ms);
    code = session.Run();
  }
  *out << "result exit=" << code << std::endl;
  {
    std::lock_guard<std::mutex> lock(mu_);
    term_active_ = false;
    ++sessions_done_;
    if (exit_ == 0 && code != 0) exit_ = code;
    to_ht_.clear();
  }
  bus_->Box_Changed();
}

void IoBox::On_Execute(const simwire::Request& r, std::vector<std::uint8_t> data) {
  std::lock_guard<std::mutex> lock(mu_);
  if (hung_) return;
  const std::uint8_t op = r.cdb[0];
  if (op == kInquiryOp) {
    std::vector<std::uint8_t> d = Inquiry_Data(options_.kind != BoxKind::kOther);
    if (d.size() > r.allocation) d.resize(r.allocation);
    Reply(r.tag, 0, d);
    return;
  }
  if (options_.kind == BoxKind::kHang) return;
  if (op == kWrite6) {
    const std::uint8_t code = data.empty() ? 0 : data[0];
    if (options_.kind == BoxKind::kHangClose && code == kStep3) {
      hung_ = true;
      return;
    }
    closing_ = code == kCloseEnd;
    if (code == kGreeting) {
      Greeting();
    } else if (code == kCloseEnd && !term_active_) {
      // A reset of a box whose terminal is not in a session: the box itself
      // answers with the all-zero frame.
      own_frames_.push_back(Control_Frame(0));
    } else if (code == kPoll && !stash_.empty()) {
      // The poll is answered from what the terminal already sent.
    } else if (term_active_) {
      if (code == kStep1) handshake_done_ = true;
      ack_expected_ = code == kPcData;
      to_ht_.insert(to_ht_.end(), data.begin(), data.end());
      cv_.notify_all();
    }
    Reply(r.tag, 0, {});
    Pump();
    return;
  }
  if (op == kRead6) {
    reads_.push_back(PendingRead{r.tag, r.allocation});
    Pump();
    return;
  }
  // Any other command: accepted without data.
  Reply(r.tag, 0, {});
}

bool IoBox::Next_Frame(std::vector<std::uint8_t>* f) {
  if (!own_frames_.empty()) {
    *f = std::move(own_frames_.front());
    own_frames_.pop_front();
    return true;
  }
  if (!stash_.empty() && !ack_expected_) {
    f->assign(kFrameHeader, 0);
    (*f)[2] = static_cast<std::uint8_t>(stash_.size() & 0xFF);
    (*f)[3] = static_cast<std::uint8_t>(stash_.size() >> 8);
    f->insert(f->end(), stash_.begin(), stash_.end());
    stash_.clear();
    return true;
  }
  if (from_ht_.size() < kFrameHeader) return false;
  const std::uint8_t code = from_ht_[0];
  const std::size_t len = code == kHtData ? from_ht_[2] + 256u * from_ht_[3] : 0;
  if (from_ht_.size() < kFrameHeader + len) return false;
  f->assign(from_ht_.begin(), from_ht_.begin() + static_cast<std::ptrdiff_t>(kFrameHeader + len));
  from_ht_.erase(from_ht_.begin(), from_ht_.begin() + static_cast<std::ptrdiff_t>(kFrameHeader + len));
  if (options_.kind == BoxKind::kHangClose && code == kEndOfSession) {
    hung_ = true;
    return false;
  }
  if (ack_expected_) {
    ack_expected_ = false;
    if (code == kAcknowledge) {
      *f = Control_Frame(0);
    } else if (code == kHtData) {
      std::vector<std::uint8_t> payload(f->begin() + kFrameHeader, f->end());
      *f = Control_Frame(0);
      if (len <= kEarlyMax) {
        (*f)[1] = 1;
        (*f)[2] = static_cast<std::uint8_t>(len);
        f->insert(f->end(), payload.begin(), payload.end());
      } else {
        stash_ = std::move(payload);
      }
    }
  }
  if (closing_ && options_.kind == BoxKind::kBadClose && code == kHtData && len == 0) (*f)[0] = 0x01;
  return true;
}

void IoBox::Pump() {
  while (!reads_.empty() && !hung_) {
    std::vector<std::uint8_t> f;
    if (!Next_Frame(&f)) break;
    const PendingRead r = reads_.front();
    reads_.pop_front();
    std::uint8_t ha = 0;
    if (f.size() > r.allocation) {
      f.resize(r.allocation);
      ha = HASTAT_DO_DU;
    }
    Reply(r.tag, ha, f);
  }
}

// ---- Bus --------------------------------------------------------------------

Bus::Bus(std::vector<BoxOptions> boxes, std::ostream& out) : out_(out) {
  for (BoxOptions& b : boxes) boxes_.push_back(std::make_unique<IoBox>(std::move(b), this, out));
}

Bus::~Bus() {
  if (acceptor_.joinable()) acceptor_.detach();
}

bool Bus::Listen(const std::string& name, std::string* why) {
  listening_ = platform::Unix_Listen_Abstract(name, why);
  return listening_ >= 0;
}

IoBox* Bus::Box_At(int id) {
  for (auto& b : boxes_)
    if (b->Options().id == id) return b.get();
  return nullptr;
}

void Bus::Send_Reply(const simwire::Reply& r, const std::vector<std::uint8_t>& data) {
  // Header and data in one write, so the back end wakes once per answer.
  std::vector<std::uint8_t> message(simwire::kHeader + data.size());
  simwire::Encode(r, message.data());
  std::copy(data.begin(), data.end(), message.begin() + simwire::kHeader);
  std::lock_guard<std::mutex> lock(write_mu_);
  if (conn_ < 0) return;
  platform::Unix_Send_All(conn_, message.data(), message.size(), 5000);
}

void Bus::Box_Changed() {
  std::lock_guard<std::mutex> lock(done_mu_);
  done_cv_.notify_all();
}

void Bus::Serve_Connection(int s) {
  {
    std::lock_guard<std::mutex> lock(write_mu_);
    conn_ = s;
  }
  {
    std::lock_guard<std::mutex> lock(g_out_mu);
    out_ << "link bus connected" << std::endl;
  }
  std::uint8_t h[simwire::kHeader];
  std::vector<std::uint8_t> data;
  while (platform::Unix_Recv_All(s, h, sizeof h, -1) == static_cast<long>(sizeof h)) {
    const simwire::Request r = simwire::Decode_Request(h);
    if (r.out_len > simwire::kMaxData) break;
    data.assign(r.out_len, 0);
    if (r.out_len > 0 && platform::Unix_Recv_All(s, data.data(), r.out_len, 5000) != static_cast<long>(r.out_len))
      break;
    IoBox* box = Box_At(r.target);
    if (r.op == simwire::kAbort) {
      if (box) box->On_Abort(r.tag);
      continue;
    }
    if (box == nullptr) {
      simwire::Reply rep;
      rep.tag = r.tag;
      rep.host_status = HASTAT_SEL_TO;
      Send_Reply(rep, {});
      continue;
    }
    box->On_Execute(r, std::move(data));
    data.clear();
  }
  {
    std::lock_guard<std::mutex> lock(write_mu_);
    conn_ = -1;
  }
  for (auto& b : boxes_) b->Drop_Reads();
  platform::Unix_Close(s);
  std::lock_guard<std::mutex> lock(g_out_mu);
  out_ << "link bus disconnected" << std::endl;
}

void Bus::Accept_Loop() {
  for (;;) {
    const int s = platform::Unix_Accept(listening_, 1000);
    if (s == platform::UNIX_TIMED_OUT) continue;
    if (s < 0) return;
    Serve_Connection(s);
  }
}

int Bus::Serve(std::uint64_t deadline_ms) {
  acceptor_ = std::thread(&Bus::Accept_Loop, this);
  bool any_terminal = false;
  for (auto& b : boxes_) any_terminal = any_terminal || !b->Done();
  std::unique_lock<std::mutex> lock(done_mu_);
  for (;;) {
    bool all = true;
    for (auto& b : boxes_) all = all && b->Done();
    if (any_terminal && all) break;
    const std::uint64_t now = platform::Monotonic_Ms();
    if (now >= deadline_ms) return any_terminal ? kExitTimeout : kExitOk;
    done_cv_.wait_for(lock, std::chrono::milliseconds(std::min<std::uint64_t>(deadline_ms - now, 200)));
  }
  lock.unlock();
  // Let the PC finish the close of the last session before the bus goes.
  platform::Sleep_Ms(200);
  for (auto& b : boxes_) {
    const int code = b->Exit_Code();
    if (code != 0) return code;
  }
  return kExitOk;
}

}  // namespace htsim
