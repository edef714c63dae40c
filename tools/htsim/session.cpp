// The simulated HT's session: its own requests and its answers to the PC.
#include "tools/htsim/session.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "engine/rox32.h"
#include "platform/clock.h"

namespace htsim {

namespace {

constexpr int kSequenceNumber = 35;  // "Sequence Number Error"
constexpr int kDriveNotReady = 57;    // "Drive Not Ready"
constexpr unsigned kMaxSearchAnswers = 65536;

std::string Hex2(unsigned v) {
  char b[8];
  std::snprintf(b, sizeof b, "0x%02X", v & 0xFF);
  return b;
}

std::string Letter(std::uint8_t c) {
  if (c >= 0x21 && c < 0x7F) return std::string("'") + static_cast<char>(c) + "'";
  return Hex2(c);
}

std::string Packet_Name(const PacketView& v) {
  return std::string(v.kind == kCommand ? "command " : "response ") + Letter(v.command) + " " +
         Letter(v.sub);
}

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

std::string Stamp_Fields(const Stamp& s) {
  char b[64];
  std::snprintf(b, sizeof b, "date=%04u-%02u-%02u time=%02u:%02u:%02u", unsigned{s.year},
                unsigned{s.month}, unsigned{s.day}, unsigned{s.hour}, unsigned{s.minute},
                unsigned{s.second});
  return b;
}

std::string Info_Fields(const FileInfo& f) {
  std::string s = "size=" + std::to_string(f.size) + " ";
  if (f.no_date || f.no_time) {
    char b[64];
    std::snprintf(b, sizeof b, "date=%s time=%s",
                  f.no_date ? "none" : Stamp_Text(f.stamp).substr(0, 10).c_str(),
                  f.no_time ? "none" : Stamp_Text(f.stamp).substr(11).c_str());
    s += b;
  } else {
    s += Stamp_Fields(f.stamp);
  }
  return s + " attr=" + Hex2(f.attributes);
}

std::string End_Fields(std::uint8_t error_class, std::uint8_t detail) {
  const int code = Code_Of(error_class, detail);
  return "class=" + Hex2(error_class) + " detail=" + Hex2(detail) + " code=" + std::to_string(code) +
         " " + Quote(Code_Text(code));
}

std::string Join(const std::vector<std::string>& v, const char* sep) {
  std::string s;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i) s += sep;
    s += v[i];
  }
  return s;
}

Stamp Now() {
  platform::LocalTime t = platform::Get_Local_Time();
  Stamp s;
  s.year = static_cast<std::uint16_t>(t.year);
  s.month = static_cast<std::uint8_t>(t.month);
  s.day = static_cast<std::uint8_t>(t.day);
  s.hour = static_cast<std::uint8_t>(t.hour);
  s.minute = static_cast<std::uint8_t>(t.minute);
  s.second = static_cast<std::uint8_t>(t.second);
  return s;
}

}  // namespace

Session::Session(HtLink& link, const HtDisk* disk, std::ostream& out, SessionOptions options,
                 std::uint64_t deadline_ms)
    : link_(link), disk_(disk), out_(out), options_(std::move(options)), deadline_(deadline_ms) {
  options_.block_size = std::clamp<std::size_t>(options_.block_size, 1, kMaxPacketData - 2);
}

// ---- Reporting and ending -----------------------------------------------------

void Session::Line(const std::string& text) {
  if (options_.times) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    out_ << text << " us=" << us.count() << '\n' << std::flush;
    return;
  }
  out_ << text << '\n' << std::flush;
}

void Session::Set_Exit(int code) {
  if (exit_ == kExitOk) exit_ = code;
}

void Session::Link_Problem(HtLink::Status s) {
  over_ = true;
  rx_.file.Abandon();
  switch (s) {
    case Link::Status::kOk:
      return;
    case Link::Status::kCloseRequest:
    case Link::Status::kCloseEnd:
      // The close the HT asked for by its end indication is no problem.
      if (ht_ended_) return;
      Line("error the PC closed the session unasked");
      Set_Exit(kExitConnection);
      return;
    case Link::Status::kTimedOut:
      Line("error timeout: " + link_.Why());
      Set_Exit(kExitTimeout);
      break;
    case Link::Status::kProtocol:
      Line("error protocol: " + link_.Why());
      Set_Exit(kExitProtocol);
      break;
    case Link::Status::kClosed:
    case Link::Status::kFailed:
      Line("error connection: " + link_.Why());
      Set_Exit(kExitConnection);
      break;
  }
  link_dead_ = true;
}

void Session::Pc_End(const PacketView& v) {
  std::uint8_t error_class = 0, detail = 0;
  if (Decode_End(v, &error_class, &detail) != 0) {
    Line("error end indication of length " + std::to_string(v.length));
    Set_Exit(kExitProtocol);
  }
  Line("pc end " + End_Fields(error_class, detail));
  pc_ended_ = over_ = true;
  link_.End_Session(true);
  rx_.file.Abandon();
  if (Code_Of(error_class, detail) >= E_BREAK_KEY) Set_Exit(kExitPcError);
}

void Session::Ht_End(std::uint8_t error_class, std::uint8_t detail, bool urgent) {
  rx_.file.Abandon();
  Bytes e = End_Indication(error_class, detail);
  Link::Status s = Link::Status::kOk;
  if (urgent) {
    s = link_.Send_Urgent(std::move(e), deadline_);
  } else {
    link_.Send(std::move(e));
  }
  Line("ht end " + End_Fields(error_class, detail));
  ht_ended_ = over_ = true;
  link_.End_Session(false);
  if (s != Link::Status::kOk) Link_Problem(s);
}

void Session::Ht_Error(int code, const std::string& why) {
  Line("error " + why);
  Set_Exit(code >= E_UNDEF_FUNCTION && code <= E_EOF_FLAG ? kExitProtocol : kExitHtError);
  if (over_ || link_dead_) return;
  const ErrorPair p = Pair_Of(code);
  Ht_End(p.error_class, p.detail, true);
}

void Session::Finish() {
  if (link_dead_) return;
  bool by_exchange = false;
  Link::Status s = link_.Close(deadline_, &by_exchange);
  for (const std::string& e : link_.Take_Events()) Line("link " + e);
  if (s != Link::Status::kOk) {
    Link_Problem(s);
    return;
  }
  if (!link_.Has_Close_Exchange()) {
    Line("link line dropped");
    return;
  }
  Line(by_exchange ? "link close exchange" : "link close end-of-session");
  if (ht_ended_ && !by_exchange) {
    Line("error the PC polled for the end of session after the HT's end indication");
    Set_Exit(kExitProtocol);
  } else if (pc_ended_ && by_exchange) {
    Line("error the PC started a close exchange after its own end indication");
    Set_Exit(kExitProtocol);
  }
}

// ---- Packets ------------------------------------------------------------------

bool Session::Receive(PacketView* v) {
  if (over_) return false;
  Link::Status s = link_.Receive(&packet_, deadline_);
  for (const std::string& e : link_.Take_Events()) Line("link " + e);
  if (s != Link::Status::kOk) {
    Link_Problem(s);
    return false;
  }
  if (over_) return false;  // the HT ended the session while sending
  int r = Read_Packet(packet_.data(), packet_.size(), v);
  if (r != 0) {
    Ht_Error(r, "bad packet from the PC: " + Code_Text(r));
    return false;
  }
  if (v->kind == kCommand && v->command == 'E') {
    Pc_End(*v);
    return false;
  }
  return true;
}

bool Session::Expect(const PacketView& v, std::uint8_t kind, std::uint8_t command, std::uint8_t sub) {
  if (v.kind == kind && v.command == command && v.sub == sub) return true;
  PacketView want;
  want.kind = kind;
  want.command = command;
  want.sub = sub;
  Ht_Error(E_SEQUENCE, "expected " + Packet_Name(want) + ", got " + Packet_Name(v));
  return false;
}

bool Session::Exchange(Bytes request, PacketView* v) {
  const std::uint8_t command = request[1], sub = request[2];
  link_.Send(std::move(request));
  return Receive(v) && Expect(*v, kResponse, command, sub);
}

bool Session::Need_Disk() {
  if (disk_ != nullptr) return true;
  Ht_Error(kDriveNotReady, "the HT has no disk (--disk)");
  return false;
}

// ---- The HT's requests --------------------------------------------------------

int Session::Run() {
  Link::Greeting g;
  Link::Status s = link_.Open(deadline_, &g);
  if (s != Link::Status::kOk) {
    Link_Problem(s);
    return exit_;
  }
  if (g.refused) {
    Line("link refused " + Quote(g.refusal));
    Set_Exit(kExitRefused);
    return exit_;
  }
  if (g.line) {
    Line("link line up");
  } else {
    Line("link greeting rbytes=" + std::to_string(g.rbytes));
    Line("link handshake ok");
  }
  Run_Steps();
  Finish();
  return exit_;
}

void Session::Run_Steps() {
  std::vector<Step> steps = options_.steps;
  if (steps.empty()) steps.push_back(Step{});
  for (const Step& s : steps) {
    if (!Run_Step(s) || over_) break;
  }
  if (!over_) Ht_End(0, 0, false);
}

bool Session::Run_Step(const Step& s) {
  PacketView v;
  switch (s.kind) {
    case StepKind::kIdle: {
      const std::string script = s.args.empty() ? std::string() : s.args[0];
      link_.Send(Idle_Notice(script));
      Line(script.empty() ? "ht idle" : "ht idle script=" + script);
      Serve_Pc();
      return false;
    }
    case StepKind::kTime: {
      if (!Exchange(Build_Packet(kCommand, 'J', 0, nullptr, 0), &v)) return false;
      Stamp t;
      if (int r = Decode_Clock(v, &t)) {
        Ht_Error(r, "bad time answer: " + Code_Text(r));
        return false;
      }
      Line("ht time " + Stamp_Fields(t));
      return true;
    }
    case StepKind::kDisk: {
      if (!Exchange(Disk_Info_Request(s.args[0][0]), &v)) return false;
      std::uint32_t total = 0, free = 0;
      std::uint8_t condition = 0;
      if (int r = Decode_Disk_Info(v, &total, &free, &condition)) {
        Ht_Error(r, "bad disk answer: " + Code_Text(r));
        return false;
      }
      Line("ht disk " + s.args[0] + " total=" + std::to_string(total) + " free=" +
           std::to_string(free) + " condition=" + std::to_string(condition));
      return true;
    }
    case StepKind::kInfo:
      return Step_Info(s);
    case StepKind::kSession: {
      if (!Exchange(Session_Info_Request(options_.session_number, s.args[0]), &v)) return false;
      SessionAnswer a;
      if (int r = Decode_Session_Info(v, &a)) {
        Ht_Error(r, "bad session answer: " + Code_Text(r));
        return false;
      }
      if (a.level != '1') {
        Ht_Error(E_PROTOCOL_VERSION, "the PC speaks protocol level " + Letter(a.level));
        return false;
      }
      Line("ht session number=" + std::to_string(a.session) + " level=1 text=" + Quote(a.text));
      return true;
    }
    case StepKind::kMkdir: {
      FileInfo f;
      f.stamp = Now();
      f.attributes = kAttrDirectory;
      f.name = s.args[0];
      std::uint16_t status = 0;
      if (!Exchange(File_Info_Packet(kCommand, 'K', 0, f), &v)) return false;
      if (int r = Decode_General(v, &status)) {
        Ht_Error(r, "bad answer: " + Code_Text(r));
        return false;
      }
      Line("ht mkdir " + s.args[0] + " ok");
      return true;
    }
    case StepKind::kDelete: {
      const std::uint8_t sub = (s.read_only_too ? 1 : 0) | (s.recurse ? 2 : 0);
      const std::string names = Join(s.args, "::");
      std::uint16_t status = 0;
      if (!Exchange(Delete_Request(sub, static_cast<std::uint16_t>(s.args.size()), names), &v))
        return false;
      if (int r = Decode_General(v, &status)) {
        Ht_Error(r, "bad answer: " + Code_Text(r));
        return false;
      }
      Line("ht delete " + names + " options=" + std::to_string(sub) + " ok");
      return true;
    }
    case StepKind::kMove: {
      std::uint16_t status = 0;
      if (!Exchange(Text_Packet(kCommand, 'M', 0, s.args[0] + "::" + s.args[1]), &v)) return false;
      if (int r = Decode_General(v, &status)) {
        Ht_Error(r, "bad answer: " + Code_Text(r));
        return false;
      }
      Line("ht move " + s.args[0] + " " + s.args[1] + " ok");
      return true;
    }
    case StepKind::kDisplay: {
      std::uint16_t status = 0;
      if (!Exchange(Text_Packet(kCommand, 'P', 0, s.args[0]), &v)) return false;
      if (int r = Decode_General(v, &status)) {
        Ht_Error(r, "bad answer: " + Code_Text(r));
        return false;
      }
      Line("ht display " + Quote(s.args[0]) + " ok");
      return true;
    }
    case StepKind::kEnd:
      Ht_End(s.error_class, s.detail, false);
      return false;
    case StepKind::kAppend: {
      if (!Need_Disk()) return false;
      fs::path p;
      std::error_code ec;
      if (disk_->Resolve(s.args[0], &p) != 0 || !fs::is_regular_file(p, ec)) {
        Ht_Error(E_FILE_NOT_FOUND, "no HT file " + s.args[0]);
        return false;
      }
      return Send_File('A', p, s.args[1], "ht append " + s.args[0] + " " + s.args[1]);
    }
    case StepKind::kSend:
      return Step_Send(s);
    case StepKind::kFetch:
      return Step_Fetch(s);
    case StepKind::kSleep: {
      if (Link::Status st = link_.Flush(deadline_); st != Link::Status::kOk) {
        Link_Problem(st);
        return false;
      }
      const std::uint64_t now = platform::Monotonic_Ms();
      const std::uint64_t until = std::min<std::uint64_t>(deadline_, now + s.ms);
      platform::Sleep_Ms(static_cast<std::uint32_t>(until - now));
      if (until < now + s.ms) {
        Line("error timeout: --timeout passed while sleeping");
        Set_Exit(kExitTimeout);
        over_ = link_dead_ = true;
        return false;
      }
      Line("ht sleep ms=" + std::to_string(s.ms));
      return true;
    }
  }
  return false;
}

bool Session::Step_Info(const Step& s) {
  const std::string& pattern = s.args[0];
  Bytes request = Text_Packet(kCommand, 'V', 'f', pattern);
  for (unsigned matches = 0; matches < kMaxSearchAnswers; ++matches) {
    PacketView v;
    if (!Exchange(std::move(request), &v)) return false;
    FileInfo f;
    if (int r = Decode_File_Info(v, &f)) {
      Ht_Error(r, "bad file information: " + Code_Text(r));
      return false;
    }
    if (f.Empty()) {
      Line("ht info " + pattern + " matches=" + std::to_string(matches));
      return true;
    }
    Line("ht info " + pattern + " match=" + f.name + " " + Info_Fields(f));
    request = Build_Packet(kCommand, 'V', 'n', nullptr, 0);
  }
  Ht_Error(E_SEQUENCE, "the PC's file search does not end");
  return false;
}

bool Session::Step_Send(const Step& s) {
  if (!Need_Disk()) return false;
  struct Item {
    fs::path path;
    std::string ht, pc;
  };
  std::vector<Item> items;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i + 1 < s.args.size(); i += 2) {
    Item it{{}, s.args[i], s.args[i + 1]};
    std::error_code ec;
    if (disk_->Resolve(it.ht, &it.path) != 0 || !fs::is_regular_file(it.path, ec)) {
      Ht_Error(E_FILE_NOT_FOUND, "no HT file " + it.ht);
      return false;
    }
    total += fs::file_size(it.path, ec);
    items.push_back(std::move(it));
  }
  if (total > kMaxFileSize) {
    Ht_Error(E_FILE_SIZE, "the files hold more than the transfer information can announce");
    return false;
  }
  PacketView v;
  std::uint16_t status = 0;
  if (!Exchange(Transfer_Info(static_cast<std::uint16_t>(items.size()),
                              static_cast<std::uint32_t>(total), s.overwrite),
                &v))
    return false;
  if (int r = Decode_General(v, &status)) {
    Ht_Error(r, "bad answer: " + Code_Text(r));
    return false;
  }
  Line("ht announce files=" + std::to_string(items.size()) + " bytes=" + std::to_string(total) +
       " overwrite=" + (s.overwrite ? "1" : "0"));
  for (const Item& it : items)
    if (!Send_File('S', it.path, it.pc, "ht send " + it.ht + " " + it.pc)) return false;
  return true;
}

bool Session::Step_Fetch(const Step& s) {
  if (!Need_Disk()) return false;
  const std::string names = Join(s.args, "::");
  link_.Send(Text_Packet(kCommand, 'R', s.subfolders ? 'w' : 'r', names));
  PacketView v;
  if (!Receive(&v) || !Expect(v, kCommand, 'S', 't')) return false;
  Pc_Transfer_Info(v, ("ht fetch " + names).c_str());
  while (!over_ && rx_files_ > 0) {
    if (!Receive(&v)) return false;
    if (v.kind == kCommand && v.command == 'S' && v.sub == 'i') {
      Pc_File_Info(v);
    } else if (v.kind == kCommand && v.command == 'S' && v.sub == 'd') {
      Pc_Block(v, "ht");
    } else {
      Ht_Error(E_SEQUENCE, Packet_Name(v) + " while fetching files");
    }
  }
  return !over_;
}

bool Session::Send_File(std::uint8_t letter, const fs::path& path, const std::string& name,
                        const std::string& report) {
  FileInfo info;
  if (int r = disk_->Info(path, name, &info)) {
    Ht_Error(r, "no HT file " + path.string());
    return false;
  }
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec || size > kMaxFileSize) {
    Ht_Error(E_FILE_SIZE, "file too large to send: " + path.string());
    return false;
  }
  link_.Send(File_Info_Packet(kCommand, letter, 'i', info));
  PacketView v;
  if (!Receive(&v) || !Expect(v, kResponse, letter, 'i')) return false;

  tx_.close();
  tx_.clear();
  tx_.open(path, std::ios::binary);
  if (!tx_) {
    Ht_Error(E_FILE_NOTHING, "cannot open " + path.string());
    return false;
  }
  std::uint64_t left = size;
  std::uint8_t block = 0;
  std::uint64_t blocks = 0;
  bool done = false;
  tx_error_ = 0;
  std::vector<char> buf;
  link_.Set_Producer([&](Bytes* out) {
    if (done) return false;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, options_.block_size));
    buf.resize(n);
    tx_.read(buf.data(), static_cast<std::streamsize>(n));
    if (static_cast<std::size_t>(tx_.gcount()) != n) {
      // The file cannot be read as announced: end the session in place of
      // the block.
      done = true;
      tx_error_ = E_READ_ERROR;
      const ErrorPair p = Pair_Of(E_READ_ERROR);
      *out = End_Indication(p.error_class, p.detail);
      ht_ended_ = over_ = true;
      return true;
    }
    left -= n;
    const bool last = left == 0;
    *out = Data_Block(letter, block++, reinterpret_cast<const std::uint8_t*>(buf.data()), n, last);
    ++blocks;
    done = last;
    return true;
  });
  const bool got = Receive(&v);
  link_.Set_Producer({});
  tx_.close();
  if (tx_error_ != 0) {
    Line("error cannot read " + path.string());
    const ErrorPair p = Pair_Of(tx_error_);
    Line("ht end " + End_Fields(p.error_class, p.detail));
    Set_Exit(kExitHtError);
    link_.End_Session(false);
    return false;
  }
  if (!got || !Expect(v, kResponse, letter, 'd')) return false;
  Line(report + " bytes=" + std::to_string(size) + " blocks=" + std::to_string(blocks));
  return true;
}

// ---- Answering the PC ---------------------------------------------------------

void Session::Serve_Pc() {
  PacketView v;
  while (!over_ && Receive(&v)) Serve(v);
}

void Session::Serve(const PacketView& v) {
  if (v.kind != kCommand) {
    Ht_Error(E_SEQUENCE, Packet_Name(v) + " while the PC is master");
    return;
  }
  auto bad_sub = [&] { Ht_Error(E_UNDEF_SUBFUNCTION, "unknown " + Packet_Name(v)); };
  switch (v.command) {
    case 'D': {
      if (v.sub > 3) return bad_sub();
      if (!Need_Disk()) return;
      std::uint16_t count = 0;
      std::string names;
      if (int r = Decode_Delete(v, &count, &names)) return Ht_Error(r, "bad delete request");
      if (int r = disk_->Delete(names, (v.sub & 1) != 0, (v.sub & 2) != 0))
        return Ht_Error(r, "cannot delete " + names + ": " + Code_Text(r));
      link_.Send(General_Response('D', v.sub));
      Line("pc delete " + names + " options=" + std::to_string(v.sub) + " ok");
      return;
    }
    case 'M': {
      if (v.sub != 0) return bad_sub();
      if (!Need_Disk()) return;
      std::string text;
      if (int r = Decode_Text(v, &text)) return Ht_Error(r, "bad move request");
      const std::size_t k = text.find("::");
      if (k == std::string::npos || text.find("::", k + 2) != std::string::npos)
        return Ht_Error(E_PARAMETER, "move request without OLD::NEW: " + text);
      const std::string from = text.substr(0, k), to = text.substr(k + 2);
      if (int r = disk_->Move(from, to))
        return Ht_Error(r, "cannot move " + from + " to " + to + ": " + Code_Text(r));
      link_.Send(General_Response('M', 0));
      Line("pc move " + from + " " + to + " ok");
      return;
    }
    case 'C': {
      if (v.sub != 0) return bad_sub();
      if (v.length != 1) return Ht_Error(E_DATA_LENGTH, "bad disk request");
      const char drive = static_cast<char>(v.data[0]);
      std::uint32_t total = 0, free = 0;
      std::uint8_t condition = 2;  // no disk
      if (disk_ != nullptr) {
        disk_->Space(&total, &free);
        condition = 0;
      }
      link_.Send(Disk_Info_Response(total, free, condition));
      Line(std::string("pc disk ") + drive + " total=" + std::to_string(total) +
           " free=" + std::to_string(free) + " condition=" + std::to_string(condition));
      return;
    }
    case 'V':
      if (v.sub != 'f' && v.sub != 'n') return bad_sub();
      return Pc_Get_Info(v);
    case 'T': {
      if (v.sub != 0) return bad_sub();
      Stamp t;
      if (int r = Decode_Clock(v, &t)) return Ht_Error(r, "bad clock: " + Code_Text(r));
      link_.Send(General_Response('T', 0));
      Line("pc clock " + Stamp_Fields(t));
      return;
    }
    case 'P': {
      if (v.sub != 0) return bad_sub();
      std::string text;
      if (int r = Decode_Text(v, &text)) return Ht_Error(r, "bad display request");
      link_.Send(General_Response('P', 0));
      Line("pc display " + Quote(text));
      return;
    }
    case 'G':
      if (v.sub != 0) return bad_sub();
      if (v.length != 0) return Ht_Error(E_DATA_LENGTH, "bad buzzer request");
      link_.Send(General_Response('G', 0));
      Line("pc buzzer");
      return;
    case 'U': {
      if (v.sub != 0) return bad_sub();
      if (!Need_Disk()) return;
      FileInfo f;
      if (int r = Decode_File_Info(v, &f)) return Ht_Error(r, "bad set-file-information request");
      if (int r = disk_->Set_Info(f))
        return Ht_Error(r, "cannot set the information of " + f.name + ": " + Code_Text(r));
      link_.Send(General_Response('U', 0));
      Line("pc setinfo " + f.name + " " + Info_Fields(f) + " ok");
      return;
    }
    case 'S':
      if (v.sub == 't') {
        if (!Need_Disk()) return;
        return Pc_Transfer_Info(v, "pc announce");
      }
      if (v.sub == 'i') return Pc_File_Info(v);
      if (v.sub == 'd') return Pc_Block(v, "pc");
      return bad_sub();
    case 'A':
      if (v.sub == 'i') return Pc_File_Info(v);
      if (v.sub == 'd') return Pc_Block(v, "pc");
      return bad_sub();
    case 'R':
      if (v.sub != 'r' && v.sub != 'w') return bad_sub();
      return Pc_Fetch(v);
    default:
      Ht_Error(E_UNDEF_FUNCTION, "unknown " + Packet_Name(v));
      return;
  }
}

void Session::Pc_Transfer_Info(const PacketView& v, const char* who) {
  std::uint16_t count = 0;
  std::uint32_t total = 0;
  bool overwrite = false;
  if (int r = Decode_Transfer_Info(v, &count, &total, &overwrite))
    return Ht_Error(r, "bad transfer information: " + Code_Text(r));
  rx_overwrite_ = overwrite;
  rx_files_ = count;
  link_.Send(General_Response('S', 't'));
  Line(std::string(who) + " files=" + std::to_string(count) + " bytes=" + std::to_string(total) +
       " overwrite=" + (overwrite ? "1" : "0"));
}

void Session::Pc_File_Info(const PacketView& v) {
  if (!Need_Disk()) return;
  const std::uint8_t letter = v.command;
  if (rx_.file.Open()) return Ht_Error(E_SEQUENCE, "file information in the middle of a file");
  if (letter == 'S' && rx_files_ == 0)
    return Ht_Error(E_SEQUENCE, "more files than the transfer information announced");
  FileInfo f;
  if (int r = Decode_File_Info(v, &f)) return Ht_Error(r, "bad file information: " + Code_Text(r));
  fs::path p;
  if (int r = disk_->Resolve(f.name, &p)) return Ht_Error(r, "bad HT name " + f.name);
  const bool append = letter == 'A';
  if (int r = rx_.file.Begin(p, append, !append && rx_overwrite_))
    return Ht_Error(r, "cannot receive " + f.name + ": " + Code_Text(r));
  rx_.info = std::move(f);
  rx_.letter = letter;
  rx_.next_block = 0;
  rx_.blocks = 0;
  link_.Send(General_Response(letter, 'i'));
}

void Session::Pc_Block(const PacketView& v, const char* who) {
  if (!rx_.file.Open() || v.command != rx_.letter)
    return Ht_Error(E_SEQUENCE, Packet_Name(v) + " without its file information");
  Block b;
  if (int r = Decode_Block(v, &b)) return Ht_Error(r, "bad data block: " + Code_Text(r));
  if (b.number != rx_.next_block)
    return Ht_Error(kSequenceNumber, "block " + std::to_string(b.number) + " where " +
                                           std::to_string(rx_.next_block) + " was due");
  if (int r = rx_.file.Write(b.content, b.size))
    return Ht_Error(r, "cannot write " + rx_.info.name + ": " + Code_Text(r));
  ++rx_.next_block;
  ++rx_.blocks;
  if (!b.last) return;  // the PC answers nothing but the last block
  const std::uint64_t received = rx_.file.Received();
  std::uint64_t kept = 0;
  const bool append = rx_.letter == 'A';
  if (int r = rx_.file.Commit(rx_.info.size, append ? nullptr : &rx_.info, &kept))
    return Ht_Error(r, "cannot store " + rx_.info.name + ": " + Code_Text(r));
  if (disk_ != nullptr) disk_->Note_Created(rx_.file.Target(), rx_.file.Folder_Changed_Before());
  link_.Send(General_Response(rx_.letter, 'd'));
  if (!append && rx_files_ > 0) --rx_files_;
  std::string line = std::string(who) + (append ? " append " : " recv ") + rx_.info.name +
                     " bytes=" + std::to_string(kept) + " blocks=" + std::to_string(rx_.blocks);
  if (received != rx_.info.size) line += " announced=" + std::to_string(rx_.info.size);
  Line(line);
}

void Session::Pc_Fetch(const PacketView& v) {
  if (!Need_Disk()) return;
  std::string names;
  if (int r = Decode_Text(v, &names)) return Ht_Error(r, "bad transfer request");
  std::vector<DiskEntry> found;
  for (const std::string& n : Split_List(names))
    if (int r = disk_->Find(n, v.sub == 'w', &found)) return Ht_Error(r, "bad HT name " + n);
  if (found.empty()) return Ht_Error(E_FILE_NOT_FOUND, "no HT file matches " + names);
  std::uint64_t total = 0;
  for (const DiskEntry& e : found) {
    std::error_code ec;
    total += fs::file_size(e.path, ec);
  }
  if (total > kMaxFileSize) return Ht_Error(E_FILE_SIZE, "the files are too large to announce");
  link_.Send(Transfer_Info(static_cast<std::uint16_t>(found.size()),
                           static_cast<std::uint32_t>(total), false));
  Line("pc fetch " + names + " files=" + std::to_string(found.size()) +
       " bytes=" + std::to_string(total));
  PacketView a;
  if (!Receive(&a) || !Expect(a, kResponse, 'S', 't')) return;
  for (const DiskEntry& e : found)
    if (!Send_File('S', e.path, e.ht_name, "pc send " + e.ht_name)) return;
}

void Session::Pc_Get_Info(const PacketView& v) {
  if (v.sub == 'f') {
    std::string pattern;
    if (int r = Decode_Text(v, &pattern)) return Ht_Error(r, "bad file-information request");
    search_.clear();
    search_next_ = 0;
    search_pattern_ = pattern;
    if (disk_ != nullptr) disk_->Find(pattern, false, &search_);
  }
  FileInfo f;
  bool found = false;
  while (!found && search_next_ < search_.size()) {
    const DiskEntry& e = search_[search_next_++];
    found = disk_->Info(e.path, e.ht_name, &f) == 0;
  }
  if (!found) f = FileInfo{};
  link_.Send(File_Info_Packet(kResponse, 'V', v.sub, f));
  Line("pc info " + search_pattern_ +
       (found ? " match=" + f.name + " " + Info_Fields(f) : std::string(" none")));
}

}  // namespace htsim
