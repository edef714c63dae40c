// panelset.ini: the strict [CODE]/[MODE] parser and the profile lookups of
// the display settings.
//
// The parser reads the file one character at a time: a section header is a
// line that starts with '[' followed by the section's name (case matters);
// an entry is a key up to '=' and a value up to the line feed, with carriage
// returns and blanks dropped. A bracket inside an entry ends the section.
#include "app/core/panelset.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/core/progdir.h"
#include "app/core/text.h"
#include "channel/ini_text.h"
#include "engine/rox32.h"
#include "platform/atomic.h"
#include "platform/msgbox.h"
#include "platform/progdir.h"
#include "platform/profile.h"
#include "scsi/boxlink.h"

RunOptions GRunOptions;
PanelSettings GPanelSettings;

namespace {

using core_text::Same_Text;

using ini_text::kEnd;
constexpr std::size_t kMaxIniBytes = 4u * 1024 * 1024;
constexpr const char* kCaption = "Tarnel";
constexpr const char* kNotFound = "Stringnotfound";

using ini_text::Reader;

bool Dropped(int c) { return c == '\r' || c == ' ' || c == '\t'; }

// Compares the characters after a '[' (already read) with name; on a match
// the rest of the line is skipped. kMatch, kMismatch (the line is skipped
// too) or kEnd.
enum class Header { kMatch, kMismatch, kEnd };
Header Match_Header(Reader& in, std::string_view name) {
  for (const char want : name) {
    const int c = in.Get();
    if (c == kEnd) return Header::kEnd;
    if (c != static_cast<unsigned char>(want)) {
      if (c != '\n' && !in.Skip_Line()) return Header::kEnd;
      return Header::kMismatch;
    }
  }
  in.Skip_Line();  // the end of the file here shows when the first key is read
  return Header::kMatch;
}

// Searches the next line that starts with "[name"; false at the end.
bool Find_Section(Reader& in, std::string_view name) {
  for (;;) {
    const int c = in.Get();
    if (c == kEnd) return false;
    if (c == '\n') continue;
    if (c != '[') {
      if (!in.Skip_Line()) return false;
      continue;
    }
    const Header h = Match_Header(in, name);
    if (h == Header::kMatch) return true;
    if (h == Header::kEnd) return false;
  }
}

enum class Piece { kDone, kOpen, kClose, kEnd };

// Key up to '=', dropping CR, LF and blanks.
Piece Read_Key(Reader& in, std::string* key) {
  key->clear();
  for (;;) {
    const int c = in.Get();
    if (c == kEnd) return Piece::kEnd;
    if (c == '=') return Piece::kDone;
    if (c == '[') return Piece::kOpen;
    if (c == ']') return Piece::kClose;
    if (c == '\n' || Dropped(c)) continue;
    key->push_back(static_cast<char>(c));
  }
}

// Value up to the line feed, dropping CR and blanks.
Piece Read_Value(Reader& in, std::string* value) {
  value->clear();
  for (;;) {
    const int c = in.Get();
    if (c == kEnd) return Piece::kEnd;
    if (c == '\n') return Piece::kDone;
    if (c == '[') return Piece::kOpen;
    if (c == ']') return Piece::kClose;
    if (Dropped(c)) continue;
    value->push_back(static_cast<char>(c));
  }
}

// One hexadecimal number, an optional 0x in front, 32 bits at most.
bool Parse_Hex(std::string_view s, std::int32_t* out) {
  if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
  if (s.empty()) return false;
  std::uint64_t v = 0;
  for (const char c : s) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    v = v * 16 + static_cast<unsigned>(d);
    if (v > 0xFFFFFFFFu) return false;
  }
  *out = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
  return true;
}

// ON or OFF in any case; false for anything else.
bool Parse_Switch(std::string_view value, bool* on) {
  if (Same_Text(value, "ON")) {
    *on = true;
    return true;
  }
  if (Same_Text(value, "OFF")) {
    *on = false;
    return true;
  }
  return false;
}

int Section_End(int accepted) { return accepted == 6 ? RO_OK : RO_KEY_COUNT; }

// The [MODE] entries; the header has been read.
int Parse_Mode(Reader& in, RunOptions* o) {
  int accepted = 0;
  std::string key, value;
  for (;;) {
    if (Read_Key(in, &key) != Piece::kDone) return Section_End(accepted);
    const Piece p = Read_Value(in, &value);
    if (p == Piece::kEnd) return RO_BAD_FILE;
    if (p != Piece::kDone) return Section_End(accepted);

    bool on = false;
    if (Same_Text(key, "MINIMIZE")) {
      if (!Parse_Switch(value, &on)) return RO_BAD_MINIMIZE;
      o->minimize = on;
    } else if (Same_Text(key, "SERVER")) {
      if (!Parse_Switch(value, &on)) return RO_BAD_SERVER;
      o->server = on;
    } else if (Same_Text(key, "1SHOT")) {
      if (!Parse_Switch(value, &on)) return RO_BAD_ONE_SHOT;
      o->one_shot = on;
    } else if (Same_Text(key, "COMMAND_TIMEOUT")) {
      std::int32_t t = core_text::Decimal(value);
      if (t < 0) t = 30;
      if (t > 3600) t = 3600;
      o->command_timeout = t;
    } else if (Same_Text(key, "DUPLICATE")) {
      if (!Parse_Switch(value, &on)) return RO_BAD_SWITCH;
      o->single_instance = !on;
    } else if (Same_Text(key, "CHILD_THROUGH")) {
      if (!Parse_Switch(value, &on)) return RO_BAD_SWITCH;
      o->child_through = on;
    } else {
      return RO_BAD_FILE;
    }
    ++accepted;
  }
}


// Looks key up; true and *value when the key is present.
bool Lookup(const char* section, const char* key, const std::string& path, std::int32_t* value) {
  char text[80];
  platform::Get_Private_Profile_String(section, key, kNotFound, text, sizeof text, path.c_str());
  if (std::strcmp(text, kNotFound) == 0) return false;
  *value = core_text::Decimal(text);
  return true;
}

void Lookup_Int(const char* section, const char* key, const std::string& path, std::int32_t* field) {
  std::int32_t v;
  if (Lookup(section, key, path, &v)) *field = v;
}

void Lookup_Byte(const char* section, const char* key, const std::string& path,
                 std::uint8_t* field) {
  std::int32_t v;
  if (Lookup(section, key, path, &v)) *field = static_cast<std::uint8_t>(v & 0xFF);
}

}  // namespace

int Parse_Run_Options(std::string_view text, RunOptions* o) {
  Reader in(text);
  if (!Find_Section(in, "CODE")) return RO_BAD_FILE;

  std::string key;
  const Piece p = Read_Key(in, &key);
  if (p == Piece::kOpen) {
    // An empty [CODE] section: this bracket may open [MODE] straight away.
    o->code = 0;
    const Header h = Match_Header(in, "MODE");
    if (h == Header::kEnd) return RO_BAD_FILE;
    if (h == Header::kMismatch && !Find_Section(in, "MODE")) return RO_BAD_FILE;
    return Parse_Mode(in, o);
  }
  if (p != Piece::kDone) return Section_End(0);
  if (!Same_Text(key, "-1")) return RO_BAD_CODE_KEY;

  std::string value;
  const Piece v = Read_Value(in, &value);
  if (v == Piece::kEnd) return RO_BAD_FILE;
  if (v != Piece::kDone) return Section_End(0);
  std::int32_t code;
  if (!Parse_Hex(value, &code)) return RO_BAD_CODE_VALUE;
  o->code = code;

  if (!Find_Section(in, "MODE")) return RO_BAD_FILE;
  return Parse_Mode(in, o);
}

int Read_Run_Options() {
  GRunOptions = RunOptions{};
  std::string text;
  bool opened = false;
  if (!platform::Read_Small_File(Program_File("panelset.ini"), &text, kMaxIniBytes, &opened))
    return opened ? RO_BAD_FILE : RO_NO_FILE;
  return Parse_Run_Options(text, &GRunOptions);
}

void Read_Panel_Settings() {
  PanelSettings s;
  const std::string path = Program_File("panelset.ini");
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    platform::Message_Box(kPanelsetNotFound, kCaption, platform::MB_OK | platform::MB_ICONWARNING);
  } else {
    std::fclose(f);
    Lookup_Int("GUI", "BARHEIGHT", path, &s.bar_height);
    Lookup_Int("GUI", "NUMOFBAR", path, &s.num_of_bar);
    Lookup_Byte("GUI", "SENDR", path, &s.send_rgb[0]);
    Lookup_Byte("GUI", "SENDG", path, &s.send_rgb[1]);
    Lookup_Byte("GUI", "SENDB", path, &s.send_rgb[2]);
    Lookup_Byte("GUI", "RECVR", path, &s.recv_rgb[0]);
    Lookup_Byte("GUI", "RECVG", path, &s.recv_rgb[1]);
    Lookup_Byte("GUI", "RECVB", path, &s.recv_rgb[2]);
    Lookup_Int("GUI", "BOARDER1", path, &s.border1);
    Lookup_Int("GUI", "BOARDER2", path, &s.border2);
    Lookup_Byte("GUI", "MAINWINHEIGHTFIX", path, &s.main_win_height_fix);
    Lookup_Byte("DEBUG", "DETAILLOG", path, &s.detail_log);
    Lookup_Byte("DEBUG", "SCSILOG", path, &s.scsi_log);
    std::int32_t size;
    if (Lookup("ETC", "MAXSENDSIZE", path, &size) && size >= 1)
      s.max_send_size = static_cast<std::uint32_t>(size) > kMaxSendSizeLimit
                            ? kMaxSendSizeLimit
                            : static_cast<std::uint32_t>(size);
  }
  GPanelSettings = s;
  platform::Store(SCSILOG, static_cast<int>(s.scsi_log));
  platform::Store(MAX_WRITE_SIZE, s.max_send_size);
}
