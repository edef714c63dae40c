#include "app/gui/settings/settings_dialogs.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "app/gui/settings/help_guide.h"
#include "platform/msgbox.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

struct Captions {
  const char* title;
  const char* work_dir;
  const char* error_file;
  const char* save;
};

Captions Captions_Of(settings::Dialog kind) {
  switch (kind) {
    case settings::Dialog::kRs232c: return {"RS232C", "&Working  Dir", "&Error  Log  File", "Sa&ve As Default"};
    case settings::Dialog::kScsi: return {"SCSI", "Working  Dir", "Error  Log  File", "Save  As  Default"};
    case settings::Dialog::kTcpip: return {"TCP/IP", "Working  Dir", "Error  Log  File", "Save As Default"};
  }
  return {"", "", "", ""};
}

}  // namespace

SettingsDialog::SettingsDialog(settings::Dialog kind, QWidget* parent)
    : QDialog(parent), form_(settings::Fill_Form(kind)) {
  const Captions c = Captions_Of(kind);
  setWindowTitle(c.title);
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  fields_ = new QFormLayout;
  layout->addLayout(fields_);
  if (kind == settings::Dialog::kRs232c) {
    port_ = Add_List("&COM  PORT", "1065", form_.ports, form_.port);
    baud_ = Add_List("&Baud  Rate", "1003", settings::Baud_Rates(), form_.baud);
    parity_ = Add_List("&Parity", "1004", settings::Parities(), form_.parity);
    stop_ = Add_List("&Stop  Bits", "1007", settings::Stop_Bits(), form_.stop);
    data_ = Add_List("&Data Bits", "1008", settings::Data_Bits(), form_.data);
    work_dir_ = Add_Text(c.work_dir, "1000", form_.work_dir);
    error_file_ = Add_Text(c.error_file, "1001", form_.error_file);
  } else if (kind == settings::Dialog::kScsi) {
    work_dir_ = Add_Text(c.work_dir, "1056", form_.work_dir);
    error_file_ = Add_Text(c.error_file, "1057", form_.error_file);
  } else {
    address_ = Add_Text("IP  Address", "1060", form_.ip_address);
    address_->setReadOnly(true);
    address_->setPlaceholderText("not found");
    port_no_ = Add_Text("Port No", "1063", form_.port_no);
    work_dir_ = Add_Text(c.work_dir, "1061", form_.work_dir);
    error_file_ = Add_Text(c.error_file, "1062", form_.error_file);
  }
  work_dir_->setMinimumWidth(380);

  auto* buttons = new QHBoxLayout;
  auto* ok = new QPushButton("OK", this);
  auto* cancel = new QPushButton("Cancel", this);
  auto* save = new QPushButton(c.save, this);
  ok->setObjectName("ok");
  cancel->setObjectName("cancel");
  save->setObjectName("saveAsDefault");
  ok->setDefault(true);
  buttons->addStretch(1);
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  buttons->addWidget(save);
  layout->addLayout(buttons);
  connect(ok, &QPushButton::clicked, this, [this] { Confirm(false); });
  connect(save, &QPushButton::clicked, this, [this] { Confirm(true); });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

QComboBox* SettingsDialog::Add_List(const char* label, const char* id, const std::vector<std::string>& items,
                                    int index) {
  auto* box = new QComboBox(this);
  box->setObjectName(id);
  for (const std::string& s : items) box->addItem(Q(s));
  box->setCurrentIndex(index);  // -1: no selection
  auto* l = new QLabel(label, this);
  l->setBuddy(box);
  fields_->addRow(l, box);
  return box;
}

QLineEdit* SettingsDialog::Add_Text(const char* label, const char* id, const std::string& text) {
  auto* edit = new QLineEdit(Q(text), this);
  edit->setObjectName(id);
  auto* l = new QLabel(label, this);
  l->setBuddy(edit);
  fields_->addRow(l, edit);
  return edit;
}

settings::Form SettingsDialog::Current_Form() const {
  settings::Form f = form_;
  if (port_ != nullptr) {
    f.port = port_->currentIndex();
    f.baud = baud_->currentIndex();
    f.parity = parity_->currentIndex();
    f.stop = stop_->currentIndex();
    f.data = data_->currentIndex();
  }
  f.work_dir = work_dir_->text().toStdString();
  f.error_file = error_file_->text().toStdString();
  if (port_no_ != nullptr) f.port_no = port_no_->text().toStdString();
  return f;
}

settings::ConfirmResult SettingsDialog::Confirm(bool save_as_default) {
  const settings::ConfirmResult r = settings::Confirm(Current_Form(), save_as_default);
  if (r == settings::kConfirmStored || r == settings::kConfirmWriteFailed) accept();
  return r;
}

int Open_Settings_Dialog(int interface_type, QWidget* parent) {
  settings::Dialog kind;
  switch (interface_type) {
    case 0: kind = settings::Dialog::kRs232c; break;
    case 1: kind = settings::Dialog::kScsi; break;
    case 2: kind = settings::Dialog::kTcpip; break;
    default: return QDialog::Rejected;
  }
  settings::Open_Check();
  SettingsDialog dialog(kind, parent);
  return dialog.exec();
}

// --- Help -------------------------------------------------------------------

HelpWindow::HelpWindow(QWidget* parent) : QDialog(parent) {
  setWindowTitle(help::kTitle);
  setObjectName("helpWindow");
  setAttribute(Qt::WA_DeleteOnClose);
  auto* layout = new QVBoxLayout(this);
  browser_ = new QTextBrowser(this);
  browser_->setOpenExternalLinks(true);
  layout->addWidget(browser_);
  auto* close = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(close, &QDialogButtonBox::rejected, this, &QDialog::close);
  layout->addWidget(close);
  resize(760, 600);
}

void HelpWindow::Show_Guide(const QString& path, const QString& markdown) {
  path_ = path;
  browser_->setSearchPaths({QFileInfo(path).absolutePath()});
  browser_->setMarkdown(markdown);
}

HelpWindow* Open_Help(QWidget* parent) {
  static QPointer<HelpWindow> open;
  std::string path, text;
  if (!help::Load_Guide(help::Guide_Candidates(), &path, &text)) {
    platform::Message_Box(text, help::kTitle, platform::MB_ICONWARNING);
    return nullptr;
  }
  if (open.isNull()) open = new HelpWindow(parent);
  open->Show_Guide(Q(path), QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
  open->show();
  open->raise();
  open->activateWindow();
  return open.data();
}
