#include "app/gui/settings/settings_model.h"

#include <cstdio>
#include <cstring>

#include "app/core/progdir.h"
#include "engine/rox32.h"
#include "platform/hostinfo.h"
#include "platform/msgbox.h"
#include "platform/pcfs.h"

namespace settings {

namespace {

constexpr long kLowestPort = 1024;
constexpr long kHighestPort = 65535;

// Copies text into a fixed field, cut to fit (the checks keep texts short
// enough, so nothing is cut in practice).
void Put(char* field, std::size_t cap, const std::string& text) {
  if (field == nullptr || cap == 0) return;
  std::snprintf(field, cap, "%s", text.c_str());
}

template <std::size_t N>
void Put(char (&field)[N], const std::string& text) {
  Put(field, N, text);
}

std::string Text_At(const std::vector<std::string>& list, int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= list.size()) return "";
  return list[static_cast<std::size_t>(index)];
}

// device.ini separates tokens at '=', ',' and line ends, so a value holding
// one of them would come back cut or as another key.
bool Fits_Ini(const std::string& text, std::size_t cap) {
  return text.size() < cap && text.find_first_of("=,\r\n") == std::string::npos;
}

}  // namespace

const std::vector<std::string>& Com_Ports() {
  static const std::vector<std::string> list{"COM1", "COM2", "COM3", "COM4"};
  return list;
}
const std::vector<std::string>& Baud_Rates() {
  static const std::vector<std::string> list{"110",  "300",   "1200",  "2400",  "4800",
                                             "9600", "19200", "38400", "57600", "115200"};
  return list;
}
const std::vector<std::string>& Parities() {
  static const std::vector<std::string> list{"NONE", "ODD", "EVEN"};
  return list;
}
const std::vector<std::string>& Stop_Bits() {
  static const std::vector<std::string> list{"1", "2"};
  return list;
}
const std::vector<std::string>& Data_Bits() {
  static const std::vector<std::string> list{"6", "7", "8"};
  return list;
}

std::vector<std::string> Port_List(const std::vector<std::string>& devices) {
  std::vector<std::string> list = Com_Ports();
  list.insert(list.end(), devices.begin(), devices.end());
  return list;
}

int Index_In(const std::vector<std::string>& list, const std::string& text) {
  for (std::size_t i = 0; i < list.size(); ++i)
    if (list[i] == text) return static_cast<int>(i);
  return -1;
}

std::string Port_Field_Text(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  const std::size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

long Port_Field_Value(const std::string& text) {
  const std::string digits = Port_Field_Text(text);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  long value = 0;
  for (char c : digits) {
    value = value * 10 + (c - '0');
    if (value > kHighestPort) return kHighestPort + 1;
  }
  return value;
}

Form Fill_Form(Dialog dialog, const DeviceSettings& s, const char* work_dir, const char* error_file,
               const std::vector<std::string>& devices, const std::string& own_address) {
  Form f;
  f.dialog = dialog;
  f.work_dir = work_dir != nullptr ? work_dir : "";
  f.error_file = error_file != nullptr ? error_file : "";
  if (dialog == Dialog::kRs232c) {
    f.ports = Port_List(devices);
    f.port = Index_In(f.ports, s.Port);
    f.baud = Index_In(Baud_Rates(), s.Baud);
    f.parity = Index_In(Parities(), s.Parity);
    f.stop = Index_In(Stop_Bits(), s.Stop);
    f.data = Index_In(Data_Bits(), s.Data);
  } else if (dialog == Dialog::kTcpip) {
    f.ip_address = own_address;
    const long port = Port_Field_Value(s.PORTNO);
    // Shown as the number it reads as; one the dialog would refuse is not shown.
    if (port >= kLowestPort && port <= kHighestPort) f.port_no = std::to_string(port);
  }
  return f;
}

Form Fill_Form(Dialog dialog) {
  std::vector<std::string> devices;
  if (dialog == Dialog::kRs232c) devices = platform::Serial_Device_List();
  char address[64] = "";
  if (dialog == Dialog::kTcpip) platform::Host_Name_Address(address, sizeof address);
  return Fill_Form(dialog, GDeviceSettings, DefWorkFile, DefErrorFile, devices, address);
}

const char* Opening_Message(bool ini_exists, bool work_dir_exists) {
  if (!ini_exists) return kIniMissing;
  if (!work_dir_exists) return kOpenWorkDirBad;
  return nullptr;
}

const char* Open_Check() {
  const bool ini = platform::Exists_PC(Program_File("device.ini").c_str());
  const char* text = Opening_Message(ini, ini && DefWorkFile[0] != '\0' && platform::Exists_PC(DefWorkFile));
  if (text != nullptr) platform::Message_Box(text, kCaption);
  return text;
}

ConfirmResult Check_Form(const Form& form, const std::function<bool(const std::string&)>& exists,
                         const char** message) {
  const char* dummy;
  if (message == nullptr) message = &dummy;
  *message = nullptr;
  if (form.work_dir.empty() || !exists(form.work_dir)) {
    *message = kWorkDirBad;
    return kBadWorkDir;
  }
  if (form.dialog == Dialog::kTcpip) {
    const long port = Port_Field_Value(form.port_no);
    if (port < kLowestPort) {
      *message = kPortBad;
      return kBadPort;
    }
    if (port > kHighestPort) {
      *message = kPortTooBig;
      return kBadPort;
    }
  }
  const std::string work = Stored_Work_Dir(form.work_dir);
  if (!Fits_Ini(work, sizeof DefWorkFile) || !Fits_Ini(form.error_file, sizeof DefErrorFile)) {
    *message = kTextBad;
    return kBadText;
  }
  if (form.dialog == Dialog::kRs232c && !Fits_Ini(Text_At(form.ports, form.port), sizeof DeviceSettings::Port)) {
    *message = kPortNameBad;
    return kBadText;
  }
  return kConfirmStored;
}

std::string Stored_Work_Dir(const std::string& text) {
  if (text.size() == 2 && text[1] == ':') return text + "\\";
  return text;
}

const char* If_Text(Dialog dialog) {
  switch (dialog) {
    case Dialog::kRs232c: return "RS232C";
    case Dialog::kScsi: return "SCSI";
    case Dialog::kTcpip: return "ETHERNET";
  }
  return "";
}

void Apply_Form(const Form& form, bool save_as_default, DeviceSettings* s, char* work_dir, std::size_t work_cap,
                char* error_file, std::size_t error_cap) {
  if (save_as_default) Put(s->IF, If_Text(form.dialog));
  Put(work_dir, work_cap, Stored_Work_Dir(form.work_dir));
  Put(error_file, error_cap, form.error_file);
  if (form.dialog == Dialog::kRs232c) {
    Put(s->Port, Text_At(form.ports, form.port));
    Put(s->Baud, Text_At(Baud_Rates(), form.baud));
    Put(s->Parity, Text_At(Parities(), form.parity));
    Put(s->Stop, Text_At(Stop_Bits(), form.stop));
    Put(s->Data, Text_At(Data_Bits(), form.data));
  } else if (form.dialog == Dialog::kTcpip) {
    Put(s->IPADDR, form.ip_address);
    Put(s->PORTNO, Port_Field_Text(form.port_no));
  }
}

ConfirmResult Confirm(const Form& form, bool save_as_default) {
  const char* message = nullptr;
  const ConfirmResult checked =
      Check_Form(form, [](const std::string& path) { return platform::Exists_PC(path.c_str()); }, &message);
  if (checked != kConfirmStored) {
    platform::Message_Box(message, kCaption);
    return checked;
  }
  Apply_Form(form, save_as_default, &GDeviceSettings, DefWorkFile, sizeof DefWorkFile, DefErrorFile,
             sizeof DefErrorFile);
  return Write_Device_Ini() ? kConfirmStored : kConfirmWriteFailed;
}

}  // namespace settings
