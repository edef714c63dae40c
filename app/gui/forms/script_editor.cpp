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
    case ScriptFileDialog::kSave: {
      const bool open = kind == ScriptFileDialog::kOpen;
      dialog.setWindowTitle(open ? "Open" : "Save As");
      dialog.setAcceptMode(open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
      dialog.setFileMode(open ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
      dialog.setNameFilter("SCR Files (*.scr)");
      dialog.setDefaultSuffix("scr");
      break;
    }
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
  f_.command = new QComboBox;
  f_.command->setObjectName("ctl1038");
  for (const char* name : kFormCommandNames) f_.command->addItem(QString::fromUtf8(name));
  f_.drive = new QComboBox;
  f_.drive->setObjectName("ctl1045");
  for (int i = 0; i < 26; ++i) f_.drive->addItem(QString::fromStdString(Drive_Text(i)));
  f_.size = Edit(1046);
  f_.date = Edit(1039, 10);
  f_.time = Edit(1044, 8);
  f_.size_label = new QLabel("Size");
  f_.drive_label = new QLabel("Drive");
  f_.date_label = new QLabel("Date");
  f_.time_label = new QLabel("Time");

  f_.attrib = new QGroupBox("Attrib");
  f_.attrib->setObjectName("attribGroup");
  f_.hidden = Check_Box("Hidden", 1040);
  f_.archive = Check_Box("Archive", 1041);
  f_.read_only = Check_Box("Read-only", 1042);
  f_.system = Check_Box("System", 1043);
  auto* attrib_layout = new QVBoxLayout(f_.attrib);
  for (QCheckBox* b : {f_.hidden, f_.archive, f_.read_only, f_.system}) attrib_layout->addWidget(b);

  f_.options = new QGroupBox("Options");
  f_.options->setObjectName("optionsGroup");
  f_.overwrite = Check_Box("Overwrite", 1047);
  f_.recursive = Check_Box("Recursive", 1048);
  f_.update = Check_Box("Update", 1049);
  auto* options_layout = new QVBoxLayout(f_.options);
  for (QCheckBox* b : {f_.overwrite, f_.recursive, f_.update}) options_layout->addWidget(b);

  f_.first_label = new QLabel;
  f_.first_label->setObjectName("firstLabel");
  f_.second_label = new QLabel;
  f_.second_label->setObjectName("secondLabel");
  f_.first_line = Edit(1051);
  f_.second = Edit(1052);
  f_.browse = Button("&Browse", 1050);

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
  form->addWidget(f_.command, 0, 1);
  form->addWidget(f_.drive_label, 0, 2);
  form->addWidget(f_.drive, 0, 3);
  form->addWidget(f_.size_label, 1, 0);
  form->addWidget(f_.size, 1, 1);
  form->addWidget(f_.date_label, 1, 2);
  form->addWidget(f_.date, 1, 3);
  form->addWidget(f_.time_label, 2, 2);
  form->addWidget(f_.time, 2, 3);
  auto* boxes = new QHBoxLayout;
  boxes->addWidget(f_.attrib);
  boxes->addWidget(f_.options);
  auto* fields = new QGridLayout;
  fields->addWidget(f_.first_label, 0, 0);
  fields->addWidget(f_.first_line, 0, 1);
  fields->addWidget(f_.browse, 0, 2);
  fields->addWidget(f_.second_label, 1, 0);
  fields->addWidget(f_.second, 1, 1);
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

  connect(f_.command, &QComboBox::activated, this, &ScriptEditor::Command_Changed);
  connect(add, &QPushButton::clicked, this, &ScriptEditor::Add);
  connect(combine, &QPushButton::clicked, this, &ScriptEditor::Combine);
  connect(f_.browse, &QPushButton::clicked, this, &ScriptEditor::Browse);
  connect(save, &QPushButton::clicked, this, [this] { Save(false); });
  connect(save_as, &QPushButton::clicked, this, [this] { Save(true); });
  connect(exit, &QPushButton::clicked, this, &ScriptEditor::reject);
  resize(560, 520);
}

void ScriptEditor::Show_Values(const FormValues& v) {
  f_.Show(v);
  f_.Apply(Rules_For(v.command, true));
}

FormValues ScriptEditor::Values() const { return f_.Read(); }

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
  f_.Append_Paths({path});
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
