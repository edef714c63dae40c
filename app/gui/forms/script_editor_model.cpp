#include "app/gui/forms/script_editor_model.h"

#include <cstring>
#include <filesystem>

#include "app/core/progdir.h"
#include "engine/rox32.h"
#include "platform/pcfs.h"
#include "platform/progdir.h"

namespace {

constexpr const char* kCrLf = "\r\n";

bool Ends_With_Cr_Lf(const std::string& text) {
  return text.size() >= 2 && text.compare(text.size() - 2, 2, kCrLf) == 0;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool Equal_Ignoring_Case(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// A native path with "." and ".." folded and without trailing separators
// (the root stays "/"). Pure string work: no lookup in the file system.
std::string Normal_Folder(const std::string& native) {
  std::string s = std::filesystem::path(native).lexically_normal().string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

// The native form of a path a dialog gave or DefWorkFile names, each
// component found ignoring case as the file layer does. False for a path on
// an unmapped drive.
bool Native(const std::string& path, std::string* native) {
  return !path.empty() && platform::To_Native_Path_Unconfined(path.c_str(), native);
}

// The last component (after the last '/' or '\').
std::string Last_Component(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string Script_Add(const std::string& text, const std::string& line) {
  if (text.empty()) return line;
  if (Ends_With_Cr_Lf(text)) return text + line;
  return text + kCrLf + line;
}

std::string Script_Combine(const std::string& text, const std::string& line) {
  if (text.empty()) return line;
  return text + " " + line;
}

std::string Script_Message(ScriptFileResult r, bool saving, const std::string& path, const std::string& why) {
  switch (r) {
    case kScriptOk:
      return {};
    case kScriptNoDeviceIni:
      return saving ? "Device.ini File missing. \n Cannot save the Script File."
                    : "Device.ini File missing\n Cannot open any Script File";
    case kScriptNoWorkDir:
      return saving ? "Working Directory not valid. \n Cannot Save the Script File."
                    : "Working Directory not valid\n Cannot Open any Script File";
    case kScriptNotScr:
      return saving ? "Cannot Save this File.\n Only '.SCR' can be Saved."
                    : "Cannot open this file \n Only '.SCR' can be opened";
    case kScriptNotInWorkDir:
      return saving ? "Cannot Save this File. \n Only '.SCR' from Working Directory can be Saved."
                    : "Cannot open this file \n Only '.SCR' from working dir can be opened";
    case kScriptTooBig:
      return saving ? "File Size too big\n Can not save this file" : "File Size too big. \n Can't open the Script File.";
    case kScriptFileError:
      break;
  }
  return (saving ? "Cannot save " : "Cannot open ") + path + "\n " + (why.empty() ? "unknown error" : why);
}

bool Script_Work_Dir(std::string* native) {
  const std::string work(DefWorkFile, strnlen(DefWorkFile, sizeof DefWorkFile));
  std::string path;
  if (!Native(work, &path)) return false;
  platform::FileStat st{};
  if (platform::Stat_PC(path.c_str(), &st) != platform::FS_OK || !st.is_dir) return false;
  *native = Normal_Folder(path);
  return true;
}

ScriptFileResult Check_Script_Ready(std::string* work_dir) {
  platform::FileStat st{};
  const std::string ini = Program_File("device.ini");
  if (platform::Stat_PC(ini.c_str(), &st) != platform::FS_OK || st.is_dir) return kScriptNoDeviceIni;
  if (!Script_Work_Dir(work_dir)) return kScriptNoWorkDir;
  return kScriptOk;
}

std::string With_Script_Extension(const std::string& path) {
  if (path.empty() || Last_Component(path).find('.') != std::string::npos) return path;
  return path + ".scr";
}

ScriptFileResult Check_Script_Path(const std::string& path, const std::string& work_dir) {
  const std::string name = Last_Component(path);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || !Equal_Ignoring_Case(name.substr(dot + 1), "scr")) return kScriptNotScr;
  std::string native;
  if (!Native(path, &native)) return kScriptNotInWorkDir;
  const std::string folder = Normal_Folder(std::filesystem::path(Normal_Folder(native)).parent_path().string());
  if (!Equal_Ignoring_Case(folder, Normal_Folder(work_dir))) return kScriptNotInWorkDir;
  return kScriptOk;
}

ScriptFileResult Load_Script(const std::string& path, std::string* text, std::string* why) {
  std::string native;
  if (!Native(path, &native)) {
    if (why) *why = "the path names a drive that is not mapped";
    return kScriptFileError;
  }
  platform::FileStat st{};
  if (platform::Stat_PC(native.c_str(), &st) != platform::FS_OK || st.is_dir) {
    if (why) *why = "the file does not exist";
    return kScriptFileError;
  }
  if (st.size > kScriptMaxBytes) return kScriptTooBig;
  std::string read;
  bool opened = false;
  if (!platform::Read_Small_File(native, &read, kScriptMaxBytes, &opened)) {
    // Opened but refused: it grew past the limit since it was measured.
    if (opened && read.size() > kScriptMaxBytes) return kScriptTooBig;
    if (why) *why = opened ? "the file could not be read" : "the file could not be opened";
    return kScriptFileError;
  }
  *text = std::move(read);
  return kScriptOk;
}

ScriptFileResult Save_Script(const std::string& path, const std::string& text, std::string* why) {
  if (text.size() > kScriptMaxBytes) return kScriptTooBig;
  std::string native;
  if (!Native(path, &native)) {
    if (why) *why = "the path names a drive that is not mapped";
    return kScriptFileError;
  }
  std::string reason;
  if (!platform::Replace_File(native, text, &reason)) {
    if (why) *why = reason;
    return kScriptFileError;
  }
  return kScriptOk;
}

std::string To_Script_Line_Ends(const std::string& field_text) {
  std::string out;
  out.reserve(field_text.size() + field_text.size() / 16);
  for (std::size_t i = 0; i < field_text.size(); ++i) {
    const char c = field_text[i];
    if (c == '\n' && (i == 0 || field_text[i - 1] != '\r')) out += '\r';
    out += c;
  }
  return out;
}

std::string From_Script_Line_Ends(const std::string& script_text) {
  std::string out;
  out.reserve(script_text.size());
  for (std::size_t i = 0; i < script_text.size(); ++i) {
    if (script_text[i] == '\r' && i + 1 < script_text.size() && script_text[i + 1] == '\n') continue;
    out += script_text[i];
  }
  return out;
}
