#include "app/gui/forms/command_screen.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include "engine/rox32.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

template <typename W>
W* Named(W* widget, int id) {
  widget->setObjectName(QStringLiteral("ctl%1").arg(id));
  return widget;
}

}  // namespace

void Show_Form_Message(QWidget* parent, const std::string& text) {
  QMessageBox box(parent);
  box.setWindowTitle(QStringLiteral("Message Box"));
  box.setText(Q(text));
  box.setStandardButtons(QMessageBox::Ok);
  box.exec();
}

QFileDialog* Make_Browse_Dialog(QWidget* parent) {
  auto* dialog = new QFileDialog(parent, QStringLiteral("Browse"));
  dialog->setFileMode(QFileDialog::ExistingFiles);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  // Qt takes the last parenthesised list of a filter as its patterns and,
  // with the details hidden, shows the text before it: the names read as
  // the operator knows them. "*.*" means every file here, as on the PC.
  QStringList filters;
  for (const BrowseFilter& f : kBrowseFilters) {
    const QString pattern = QString::fromLatin1(f.pattern) == QLatin1String("*.*") ? QStringLiteral("*")
                                                                                  : QString::fromLatin1(f.pattern);
    filters << QString::fromLatin1(f.name) + QStringLiteral(" (") + pattern + QStringLiteral(")");
  }
  dialog->setOption(QFileDialog::HideNameFilterDetails, true);
  dialog->setNameFilters(filters);
  return dialog;
}

CommandScreen::CommandScreen(FormHost& host, FormMessage message, QWidget* parent)
    : QDialog(parent), host_(host), message_(std::move(message)) {
  setWindowTitle(QStringLiteral("Command  Screen"));
  if (!message_) message_ = [this](const std::string& text) { Show_Form_Message(this, text); };
  chooser_ = [](QWidget* owner) {
    QFileDialog* dialog = Make_Browse_Dialog(owner);
    QStringList chosen;
    if (dialog->exec() == QDialog::Accepted) chosen = dialog->selectedFiles();
    delete dialog;
    return chosen;
  };

  f_.command = Named(new QComboBox, 1011);
  for (const char* name : kFormCommandNames) f_.command->addItem(QString::fromLatin1(name));
  f_.drive = Named(new QComboBox, 1012);
  for (int i = 0; i < 26; ++i) f_.drive->addItem(Q(Drive_Text(i)));
  f_.size = Named(new QLineEdit, 1013);
  f_.date = Named(new QLineEdit, 1015);
  f_.date->setMaxLength(10);
  f_.time = Named(new QLineEdit, 1016);
  f_.time->setMaxLength(8);
  f_.hidden = Named(new QCheckBox(QStringLiteral("&Hidden")), 1021);
  f_.archive = Named(new QCheckBox(QStringLiteral("&Archive")), 1022);
  f_.read_only = Named(new QCheckBox(QStringLiteral("Read-&only")), 1023);
  f_.system = Named(new QCheckBox(QStringLiteral("S&ystem")), 1024);
  f_.overwrite = Named(new QCheckBox(QStringLiteral("O&verwrite")), 1025);
  f_.recursive = Named(new QCheckBox(QStringLiteral("&Recursive")), 1026);
  f_.update = Named(new QCheckBox(QStringLiteral("&Update")), 1027);
  f_.first_text = Named(new QPlainTextEdit, 1028);
  f_.first_text->setTabChangesFocus(true);
  f_.first_text->setFixedHeight(f_.first_text->fontMetrics().lineSpacing() * 3 + 12);
  f_.browse = Named(new QPushButton(QStringLiteral("&Browse")), 1029);
  f_.second = Named(new QLineEdit, 1030);
  single_ = Named(new QRadioButton(QStringLiteral("S&ingle")), 1036);
  batch_ = Named(new QRadioButton(QStringLiteral("Ba&tch")), 1037);
  f_.first_label = Named(new QLabel, 1072);
  f_.second_label = Named(new QLabel, 1085);
  f_.first_label->setBuddy(f_.first_text);
  f_.second_label->setBuddy(f_.second);
  f_.drive_label = new QLabel(QStringLiteral("&Drive"));
  f_.drive_label->setBuddy(f_.drive);
  f_.size_label = new QLabel(QStringLiteral("Si&ze"));
  f_.size_label->setBuddy(f_.size);
  f_.date_label = new QLabel(QStringLiteral("Dat&e"));
  f_.date_label->setBuddy(f_.date);
  f_.time_label = new QLabel(QStringLiteral("Ti&me"));
  f_.time_label->setBuddy(f_.time);

  f_.options = new QGroupBox(QStringLiteral("Options"));
  auto* options_layout = new QVBoxLayout(f_.options);
  options_layout->addWidget(f_.overwrite);
  options_layout->addWidget(f_.recursive);
  options_layout->addWidget(f_.update);
  f_.attrib = new QGroupBox(QStringLiteral("Attrib"));
  auto* attrib_layout = new QGridLayout(f_.attrib);
  attrib_layout->addWidget(f_.hidden, 0, 0);
  attrib_layout->addWidget(f_.archive, 0, 1);
  attrib_layout->addWidget(f_.read_only, 1, 0);
  attrib_layout->addWidget(f_.system, 1, 1);

  auto* mode = new QGroupBox(QStringLiteral("Mode"));
  auto* mode_layout = new QHBoxLayout(mode);
  mode_layout->addWidget(single_);
  mode_layout->addWidget(batch_);
  auto* mode_group = new QButtonGroup(this);
  mode_group->addButton(single_);
  mode_group->addButton(batch_);

  auto* form = new QFormLayout;
  form->addRow(new QLabel(QStringLiteral("&Command")), f_.command);
  qobject_cast<QLabel*>(form->labelForField(f_.command))->setBuddy(f_.command);
  auto* drive_size = new QHBoxLayout;
  drive_size->addWidget(f_.drive);
  drive_size->addSpacing(12);
  drive_size->addWidget(f_.size_label);
  drive_size->addWidget(f_.size);
  form->addRow(f_.drive_label, drive_size);
  auto* date_time = new QHBoxLayout;
  date_time->addWidget(f_.date);
  date_time->addSpacing(12);
  date_time->addWidget(f_.time_label);
  date_time->addWidget(f_.time);
  form->addRow(f_.date_label, date_time);
  auto* files = new QHBoxLayout;
  files->addWidget(f_.first_text, 1);
  files->addWidget(f_.browse, 0, Qt::AlignTop);
  form->addRow(f_.first_label, files);
  form->addRow(f_.second_label, f_.second);

  auto* groups = new QHBoxLayout;
  groups->addWidget(f_.options);
  groups->addWidget(f_.attrib);
  groups->addWidget(mode);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &CommandScreen::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &CommandScreen::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addLayout(groups);
  layout->addWidget(buttons);
  setMinimumWidth(520);

  connect(f_.command, &QComboBox::currentIndexChanged, this, &CommandScreen::Command_Changed);
  connect(f_.browse, &QPushButton::clicked, this, &CommandScreen::Browse);

  // Opening: the initial values, then Send's rules.
  Show_Values(Initial_Form_Values());
  Command_Changed(kFormSend);
}

FormValues CommandScreen::Values() const {
  FormValues v = f_.Read();
  v.single = single_->isChecked();
  return v;
}

void CommandScreen::Show_Values(const FormValues& v) {
  f_.Show(v);
  single_->setChecked(v.single);
  batch_->setChecked(!v.single);
}

void CommandScreen::Command_Changed(int command) {
  FormValues v = Values();
  Apply_Command_Change(v, command, false);
  Show_Values(v);
  const FormRules r = Rules_For(v.command, false);
  f_.Apply(r);
  single_->setEnabled(r.single_enabled);
  batch_->setEnabled(r.batch_enabled);
}

void CommandScreen::Browse() {
  std::vector<std::string> paths;
  for (const QString& path : chooser_(this)) paths.push_back(path.toStdString());
  f_.Append_Paths(paths);
}

void CommandScreen::accept() {
  const FormValues v = Values();
  const std::string line = Build_Command_Line(v, false);
  if (Distribute_Line(host_, line, !v.single, DistributeKind::kCommandScreen) == DistributeResult::kTooLong) {
    message_("The command is too long: a command line holds at most " + std::to_string(CMD_BUF_SIZE - 1) +
             " characters.");
    return;
  }
  QDialog::accept();
}
