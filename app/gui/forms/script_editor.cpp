#include "app/gui/forms/script_editor.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QVBoxLayout>

#include "app/gui/forms/script_editor_model.h"
#include "platform/msgbox.h"

namespace {

ScriptFileChooser& Chooser() {
  static ScriptFileChooser chooser;
  return chooser;
}

QString Filter_Text(const char* name, const char* pattern) {
  // Qt reads the pattern from the last parentheses of one line.
  QString shown = QString::fromUtf8(name);
  shown.replace('\n', ' ');
  return shown + " (" + QString::fromUtf8(pattern) + ")";
}

std::string Qt_File_Dialog(QWidget* parent, ScriptFileDialog kind, const std::string& start_dir) {
  const QString dir = QString::fromStdString(start_dir);
  QFileDialog dialog(parent);
  dialog.setDirectory(dir);
  switch (kind) {
    case ScriptFileDialog::kOpen:
      dialog.setWindowTitle("Open");
      dialog.setAcceptMode(QFileDialog::AcceptOpen);
      dialog.setFileMode(QFileDialog::ExistingFile);
      dialog.setNameFilter("SCR Files (*.scr)");
      dialog.setDefaultSuffix("scr");
      break;
    case ScriptFileDialog::kSave:
      dialog.setWindowTitle("Save As");
      dialog.setAcceptMode(QFileDialog::AcceptSave);
      dialog.setFileMode(QFileDialog::AnyFile);
      dialog.setNameFilter("SCR Files (*.scr)");
      dialog.setDefaultSuffix("scr");
      break;
    case ScriptFileDialog::kBrowse: {
      dialog.setWindowTitle("Browse");
      dialog.setAcceptMode(QFileDialog::AcceptOpen);
      dialog.setFileMode(QFileDialog::ExistingFile);
      QStringList filters;
      for (const BrowseFilter& f : kBrowseFilters) filters << Filter_Text(f.name, f.pattern);
      dialog.setNameFilters(filters);
      break;
    }
  }
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().front().toStdString();
}

std::string Choose(QWidget* parent, ScriptFileDialog kind, const std::string& start_dir) {
  if (Chooser()) return Chooser()(kind, start_dir);
  return Qt_File_Dialog(parent, kind, start_dir);
}

void Box(const std::string& text) {
  platform::Message_Box(text, kScriptBoxCaption, platform::MB_OK | platform::MB_ICONWARNING);
}

QCheckBox* Check_Box(const char* caption, int id) {
  auto* box = new QCheckBox(caption);
  box->setObjectName(QString("ctl%1").arg(id));
  return box;
}

QLineEdit* Edit(int id, int max_length = 0) {
  auto* edit = new QLineEdit;
  edit->setObjectName(QString("ctl%1").arg(id));
  if (max_length > 0) edit->setMaxLength(max_length);
  return edit;
}

QPushButton* Button(const char* caption, int id) {
  auto* button = new QPushButton(caption);
  button->setObjectName(QString("ctl%1").arg(id));
  button->setAutoDefault(false);
  return button;
}

enum EditAction { kCut, kCopy, kPaste, kDelete };

}  // namespace

void Set_Script_File_Chooser(ScriptFileChooser chooser) { Chooser() = std::move(chooser); }

ScriptEditor::ScriptEditor(QWidget* parent) : QDialog(parent) {
  setObjectName("scriptEditor");
  Build();
  setWindowTitle(kScriptNewTitle);
  FormValues v = Initial_Form_Values();
  Apply_Command_Change(v, kFormSend, true);
  Show_Values(v);
}

void ScriptEditor::Build() {
  command_ = new QComboBox;
  command_->setObjectName("ctl1038");
  for (const char* name : kFormCommandNames) command_->addItem(QString::fromUtf8(name));
  drive_ = new QComboBox;
  drive_->setObjectName("ctl1045");
  for (int i = 0; i < 26; ++i) drive_->addItem(QString::fromStdString(Drive_Text(i)));
  size_ = Edit(1046);
  date_ = Edit(1039, 10);
  time_ = Edit(1044, 8);
  size_label_ = new QLabel("Size");
  drive_label_ = new QLabel("Drive");
  date_label_ = new QLabel("Date");
  time_label_ = new QLabel("Time");

  attrib_ = new QGroupBox("Attrib");
  attrib_->setObjectName("attribGroup");
  hidden_ = Check_Box("Hidden", 1040);
  archive_ = Check_Box("Archive", 1041);
  read_only_ = Check_Box("Read-only", 1042);
  system_ = Check_Box("System", 1043);
  auto* attrib_layout = new QVBoxLayout(attrib_);
  for (QCheckBox* b : {hidden_, archive_, read_only_, system_}) attrib_layout->addWidget(b);

  options_ = new QGroupBox("Options");
  options_->setObjectName("optionsGroup");
  overwrite_ = Check_Box("Overwrite", 1047);
  recursive_ = Check_Box("Recursive", 1048);
  update_ = Check_Box("Update", 1049);
  auto* options_layout = new QVBoxLayout(options_);
  for (QCheckBox* b : {overwrite_, recursive_, update_}) options_layout->addWidget(b);

  first_label_ = new QLabel;
  first_label_->setObjectName("firstLabel");
  second_label_ = new QLabel;
  second_label_->setObjectName("secondLabel");
  first_ = Edit(1051);
  second_ = Edit(1052);
  browse_ = Button("&Browse", 1050);

  text_ = new QPlainTextEdit;
  text_->setObjectName("ctl1031");
  text_->setLineWrapMode(QPlainTextEdit::NoWrap);
  text_->setMinimumHeight(140);

  auto* add = Button("&Add", 1032);
  auto* combine = Button("&Combine", 1033);
  auto* save = Button("&Save", 1034);
  auto* save_as = Button("Sa&ve As", 1035);
  auto* exit = Button("E&xit", 2);

  auto* form = new QGridLayout;
  form->addWidget(new QLabel("Command"), 0, 0);
  form->addWidget(command_, 0, 1);
  form->addWidget(drive_label_, 0, 2);
  form->addWidget(drive_, 0, 3);
  form->addWidget(size_label_, 1, 0);
  form->addWidget(size_, 1, 1);
  form->addWidget(date_label_, 1, 2);
  form->addWidget(date_, 1, 3);
  form->addWidget(time_label_, 2, 2);
  form->addWidget(time_, 2, 3);
  auto* boxes = new QHBoxLayout;
  boxes->addWidget(attrib_);
  boxes->addWidget(options_);
  auto* fields = new QGridLayout;
  fields->addWidget(first_label_, 0, 0);
  fields->addWidget(first_, 0, 1);
  fields->addWidget(browse_, 0, 2);
  fields->addWidget(second_label_, 1, 0);
  fields->addWidget(second_, 1, 1);
  auto* buttons = new QHBoxLayout;
  for (QPushButton* b : {add, combine, save, save_as, exit}) buttons->addWidget(b);

  auto* menu_bar = new QMenuBar(this);
  QMenu* edit = menu_bar->addMenu("&Edit");
  const std::pair<const char*, QKeySequence> items[] = {
      {"Cu&t", QKeySequence::Cut}, {"&Copy", QKeySequence::Copy},
      {"&Paste", QKeySequence::Paste}, {"&Delete", QKeySequence::Delete}};
  for (int i = 0; i < 4; ++i) {
    QAction* a = edit->addAction(items[i].first);
    a->setObjectName(QString("edit%1").arg(i));
    // The fields handle their own keys; the menu items act on the field
    // with the focus.
    connect(a, &QAction::triggered, this, [this, i] { Edit_Action(i); });
  }

  auto* layout = new QVBoxLayout(this);
  layout->setMenuBar(menu_bar);
  layout->addLayout(form);
  layout->addLayout(boxes);
  layout->addLayout(fields);
  layout->addWidget(new QLabel("Script"));
  layout->addWidget(text_, 1);
  layout->addLayout(buttons);

  connect(command_, &QComboBox::activated, this, &ScriptEditor::Command_Changed);
  connect(add, &QPushButton::clicked, this, &ScriptEditor::Add);
  connect(combine, &QPushButton::clicked, this, &ScriptEditor::Combine);
  connect(browse_, &QPushButton::clicked, this, &ScriptEditor::Browse);
  connect(save, &QPushButton::clicked, this, [this] { Save(false); });
  connect(save_as, &QPushButton::clicked, this, [this] { Save(true); });
  connect(exit, &QPushButton::clicked, this, &ScriptEditor::reject);
  resize(560, 520);
}

void ScriptEditor::Show_Values(const FormValues& v) {
  const FormRules r = Rules_For(v.command, true);
  command_->setCurrentIndex(v.command);
  drive_->setCurrentIndex(v.drive);
  size_->setText(QString::fromStdString(v.size));
  date_->setText(QString::fromStdString(v.date));
  time_->setText(QString::fromStdString(v.time));
  hidden_->setChecked(v.hidden);
  archive_->setChecked(v.archive);
  read_only_->setChecked(v.read_only);
  system_->setChecked(v.system);
  overwrite_->setChecked(v.overwrite);
  recursive_->setChecked(v.recursive);
  update_->setChecked(v.update);
  first_->setText(QString::fromStdString(v.first));
  second_->setText(QString::fromStdString(v.second));

  first_label_->setText(r.first_label);
  second_label_->setText(r.second_label);
  first_->setEnabled(r.first);
  first_label_->setEnabled(r.first);
  browse_->setEnabled(r.browse);
  second_->setEnabled(r.second);
  second_label_->setEnabled(r.second);
  options_->setEnabled(r.options);
  overwrite_->setEnabled(r.overwrite);
  recursive_->setEnabled(r.recursive);
  update_->setEnabled(r.update);
  attrib_->setEnabled(r.attrib);
  for (QCheckBox* b : {hidden_, archive_, read_only_, system_}) b->setEnabled(r.attrib);
  size_->setEnabled(r.size);
  size_label_->setEnabled(r.size);
  drive_->setEnabled(r.drive);
  drive_label_->setEnabled(r.drive);
  date_->setEnabled(r.date_time);
  date_label_->setEnabled(r.date_time);
  time_->setEnabled(r.date_time);
  time_label_->setEnabled(r.date_time);
}

FormValues ScriptEditor::Values() const {
  FormValues v;
  v.command = command_->currentIndex();
  v.drive = drive_->currentIndex();
  v.size = size_->text().toStdString();
  v.date = date_->text().toStdString();
  v.time = time_->text().toStdString();
  v.hidden = hidden_->isChecked();
  v.archive = archive_->isChecked();
  v.read_only = read_only_->isChecked();
  v.system = system_->isChecked();
  v.overwrite = overwrite_->isChecked();
  v.recursive = recursive_->isChecked();
  v.update = update_->isChecked();
  v.first = first_->text().toStdString();
  v.second = second_->text().toStdString();
  return v;
}

void ScriptEditor::Command_Changed(int command) {
  FormValues v = Values();
  Apply_Command_Change(v, command, true);
  Show_Values(v);
}

std::string ScriptEditor::Script_Text() const { return To_Script_Line_Ends(text_->toPlainText().toStdString()); }

bool ScriptEditor::Modified() const { return text_->document()->isModified(); }

void ScriptEditor::Set_Text(const std::string& script_text) {
  text_->setPlainText(QString::fromStdString(From_Script_Line_Ends(script_text)));
  // Putting a command into the script is a change as typing is.
  text_->document()->setModified(true);
  text_->moveCursor(QTextCursor::End);
  text_->ensureCursorVisible();
}

void ScriptEditor::Load(const std::string& path, const std::string& script_text) {
  text_->setPlainText(QString::fromStdString(From_Script_Line_Ends(script_text)));
  text_->document()->setModified(false);
  path_ = path;
  setWindowTitle(QString::fromStdString(path));
}

void ScriptEditor::Add() { Set_Text(Script_Add(Script_Text(), Build_Command_Line(Values(), true))); }

void ScriptEditor::Combine() { Set_Text(Script_Combine(Script_Text(), Build_Command_Line(Values(), true))); }

void ScriptEditor::Browse() {
  std::string work;
  if (!Script_Work_Dir(&work)) work.clear();
  const std::string path = Choose(this, ScriptFileDialog::kBrowse, work);
  if (path.empty()) return;
  first_->setText(QString::fromStdString(Append_Browsed_Path(first_->text().toStdString(), path)));
  first_->setCursorPosition(first_->text().size());
}

bool ScriptEditor::Save(bool as_new) {
  std::string work;
  ScriptFileResult r = Check_Script_Ready(&work);
  if (r != kScriptOk) {
    Box(Script_Message(r, true));
    return false;
  }
  std::string path = path_;
  if (as_new || path.empty()) {
    path = Choose(this, ScriptFileDialog::kSave, work);
    if (path.empty()) return false;
    path = With_Script_Extension(path);
    r = Check_Script_Path(path, work);
    if (r != kScriptOk) {
      Box(Script_Message(r, true));
      return false;
    }
  }
  std::string why;
  r = Save_Script(path, Script_Text(), &why);
  if (r != kScriptOk) {
    Box(Script_Message(r, true, path, why));
    return false;
  }
  // The modified mark stays: it tells of changes since the script was
  // opened, not since it was saved.
  path_ = path;
  setWindowTitle(QString::fromStdString(path));
  return true;
}

void ScriptEditor::reject() {
  if (Modified() &&
      platform::Message_Box(kScriptChangedAsk, kScriptBoxCaption, platform::MB_YESNO | platform::MB_ICONQUESTION) ==
          platform::IDYES &&
      !Save(false)) {
    // The script was not written (refused, cancelled or failed): closing
    // now would lose it, so the editor stays open.
    return;
  }
  QDialog::reject();
}

void ScriptEditor::Edit_Action(int which) {
  QWidget* focus = QApplication::focusWidget();
  if (auto* line = qobject_cast<QLineEdit*>(focus)) {
    switch (which) {
      case kCut: line->cut(); break;
      case kCopy: line->copy(); break;
      case kPaste: line->paste(); break;
      case kDelete: line->del(); break;
    }
  } else if (auto* text = qobject_cast<QPlainTextEdit*>(focus)) {
    switch (which) {
      case kCut: text->cut(); break;
      case kCopy: text->copy(); break;
      case kPaste: text->paste(); break;
      case kDelete: text->textCursor().removeSelectedText(); break;
    }
  }
}

ScriptEditor* ScriptEditor::Open(QWidget* parent, bool from_file) {
  std::string path;
  std::string text;
  if (from_file) {
    std::string work;
    ScriptFileResult r = Check_Script_Ready(&work);
    if (r == kScriptOk) {
      path = Choose(parent, ScriptFileDialog::kOpen, work);
      if (path.empty()) return nullptr;
      r = Check_Script_Path(path, work);
    }
    std::string why;
    // A script too big to load is not opened at all: an empty editor under
    // its name would save nothing over it.
    if (r == kScriptOk) r = Load_Script(path, &text, &why);
    if (r != kScriptOk) {
      Box(Script_Message(r, false, path, why));
      return nullptr;
    }
  }
  auto* editor = new ScriptEditor(parent);
  editor->setAttribute(Qt::WA_DeleteOnClose);
  editor->setWindowModality(Qt::ApplicationModal);
  if (from_file) editor->Load(path, text);
  editor->show();
  return editor;
}
