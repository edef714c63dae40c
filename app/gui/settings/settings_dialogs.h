// The three interface settings dialogs "RS232C", "SCSI" and "TCP/IP", and
// the help window "Tarnel Help". The dialogs only show and collect fields;
// settings_model.h decides what they show, checks and stores.
#pragma once

#include <QDialog>

#include "app/gui/settings/settings_model.h"

class QComboBox;
class QLineEdit;
class QPushButton;
class QTextBrowser;

class SettingsDialog : public QDialog {
  Q_OBJECT

 public:
  // Fills the fields from the current settings. Controls are named by their
  // control ids ("1065", "1000", ...); the buttons "ok", "cancel" and
  // "saveAsDefault".
  SettingsDialog(settings::Dialog kind, QWidget* parent = nullptr);

  settings::Dialog Kind() const { return form_.dialog; }
  // The fields as they stand.
  settings::Form Current_Form() const;
  // OK (false) or Save As Default (true): stores, writes and closes, or
  // shows why not and stays open. Returns the model's result.
  settings::ConfirmResult Confirm(bool save_as_default);

 private:
  QComboBox* Add_List(const char* label, const char* id, const std::vector<std::string>& items, int index);
  QLineEdit* Add_Text(const char* label, const char* id, const std::string& text);

  settings::Form form_;
  class QFormLayout* fields_ = nullptr;
  QComboBox* port_ = nullptr;
  QComboBox* baud_ = nullptr;
  QComboBox* parity_ = nullptr;
  QComboBox* stop_ = nullptr;
  QComboBox* data_ = nullptr;
  QLineEdit* work_dir_ = nullptr;
  QLineEdit* error_file_ = nullptr;
  QLineEdit* address_ = nullptr;
  QLineEdit* port_no_ = nullptr;
};

// The Settings command: the opening check's message (if any), then the
// dialog of interface_type (0 RS-232C, 1 SCSI, 2 TCP/IP) modally. Returns
// QDialog::Accepted when it stored the settings.
int Open_Settings_Dialog(int interface_type, QWidget* parent);

// The help window: one per program, raised when it is open already.
class HelpWindow : public QDialog {
  Q_OBJECT

 public:
  explicit HelpWindow(QWidget* parent = nullptr);
  // Shows the guide at path with its text (Markdown).
  void Show_Guide(const QString& path, const QString& markdown);
  QTextBrowser* Browser() const { return browser_; }
  QString Guide_Path() const { return path_; }

 private:
  QTextBrowser* browser_ = nullptr;
  QString path_;
};

// F1 and the Help menu: finds the guide (help_guide.h) and shows it in the
// help window; when it cannot be found, a message box says where it was
// looked for and no window opens. Returns the window or nullptr.
HelpWindow* Open_Help(QWidget* parent);
