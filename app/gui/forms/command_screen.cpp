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

  command_ = Named(new QComboBox, 1011);
  for (const char* name : kFormCommandNames) command_->addItem(QString::fromLatin1(name));
  drive_ = Named(new QComboBox, 1012);
  for (int i = 0; i < 26; ++i) drive_->addItem(Q(Drive_Text(i)));
  size_ = Named(new QLineEdit, 1013);
  date_ = Named(new QLineEdit, 1015);
  date_->setMaxLength(10);
  time_ = Named(new QLineEdit, 1016);
  time_->setMaxLength(8);
  hidden_ = Named(new QCheckBox(QStringLiteral("&Hidden")), 1021);
  archive_ = Named(new QCheckBox(QStringLiteral("&Archive")), 1022);
  read_only_ = Named(new QCheckBox(QStringLiteral("Read-&only")), 1023);
  system_ = Named(new QCheckBox(QStringLiteral("S&ystem")), 1024);
  overwrite_ = Named(new QCheckBox(QStringLiteral("O&verwrite")), 1025);
  recursive_ = Named(new QCheckBox(QStringLiteral("&Recursive")), 1026);
  update_ = Named(new QCheckBox(QStringLiteral("&Update")), 1027);
  first_ = Named(new QPlainTextEdit, 1028);
  first_->setTabChangesFocus(true);
  first_->setFixedHeight(first_->fontMetrics().lineSpacing() * 3 + 12);
  browse_ = Named(new QPushButton(QStringLiteral("&Browse")), 1029);
  second_ = Named(new QLineEdit, 1030);
  single_ = Named(new QRadioButton(QStringLiteral("S&ingle")), 1036);
  batch_ = Named(new QRadioButton(QStringLiteral("Ba&tch")), 1037);
  first_label_ = Named(new QLabel, 1072);
  second_label_ = Named(new QLabel, 1085);
  first_label_->setBuddy(first_);
  second_label_->setBuddy(second_);
  drive_label_ = new QLabel(QStringLiteral("&Drive"));
  drive_label_->setBuddy(drive_);
  size_label_ = new QLabel(QStringLiteral("Si&ze"));
  size_label_->setBuddy(size_);
  date_label_ = new QLabel(QStringLiteral("Dat&e"));
  date_label_->setBuddy(date_);
  time_label_ = new QLabel(QStringLiteral("Ti&me"));
  time_label_->setBuddy(time_);

  options_ = new QGroupBox(QStringLiteral("Options"));
  auto* options_layout = new QVBoxLayout(options_);
  options_layout->addWidget(overwrite_);
  options_layout->addWidget(recursive_);
  options_layout->addWidget(update_);
  attrib_ = new QGroupBox(QStringLiteral("Attrib"));
  auto* attrib_layout = new QGridLayout(attrib_);
  attrib_layout->addWidget(hidden_, 0, 0);
  attrib_layout->addWidget(archive_, 0, 1);
  attrib_layout->addWidget(read_only_, 1, 0);
  attrib_layout->addWidget(system_, 1, 1);

  auto* mode = new QGroupBox(QStringLiteral("Mode"));
  auto* mode_layout = new QHBoxLayout(mode);
  mode_layout->addWidget(single_);
  mode_layout->addWidget(batch_);
  auto* mode_group = new QButtonGroup(this);
  mode_group->addButton(single_);
  mode_group->addButton(batch_);

  auto* form = new QFormLayout;
  form->addRow(new QLabel(QStringLiteral("&Command")), command_);
  qobject_cast<QLabel*>(form->labelForField(command_))->setBuddy(command_);
  auto* drive_size = new QHBoxLayout;
  drive_size->addWidget(drive_);
  drive_size->addSpacing(12);
  drive_size->addWidget(size_label_);
  drive_size->addWidget(size_);
  form->addRow(drive_label_, drive_size);
  auto* date_time = new QHBoxLayout;
  date_time->addWidget(date_);
  date_time->addSpacing(12);
  date_time->addWidget(time_label_);
  date_time->addWidget(time_);
  form->addRow(date_label_, date_time);
  auto* files = new QHBoxLayout;
  files->addWidget(first_, 1);
  files->addWidget(browse_, 0, Qt::AlignTop);
  form->addRow(first_label_, files);
  form->addRow(second_label_, second_);

  auto* groups = new QHBoxLayout;
  groups->addWidget(options_);
  groups->addWidget(attrib_);
  groups->addWidget(mode);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &CommandScreen::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &CommandScreen::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addLayout(groups);
  layout->addWidget(buttons);
  setMinimumWidth(520);

  connect(command_, &QComboBox::currentIndexChanged, this, &CommandScreen::Command_Changed);
  connect(browse_, &QPushButton::clicked, this, &CommandScreen::Browse);

  // Opening: the initial values, then Send's rules.
  Show_Values(Initial_Form_Values());
  Command_Changed(kFormSend);
}

FormValues CommandScreen::Values() const {
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
  QString first = first_->toPlainText();
  first.replace(QLatin1String("\r\n"), QLatin1String(" "));
  first.replace(QLatin1Char('\n'), QLatin1Char(' '));
  first.replace(QLatin1Char('\r'), QLatin1Char(' '));
  v.first = first.toStdString();
  v.second = second_->text().toStdString();
  v.single = single_->isChecked();
  return v;
}

void CommandScreen::Show_Values(const FormValues& v) {
  const QSignalBlocker block(command_);
  command_->setCurrentIndex(v.command);
  drive_->setCurrentIndex(v.drive);
  size_->setText(Q(v.size));
  date_->setText(Q(v.date));
  time_->setText(Q(v.time));
  hidden_->setChecked(v.hidden);
  archive_->setChecked(v.archive);
  read_only_->setChecked(v.read_only);
  system_->setChecked(v.system);
  overwrite_->setChecked(v.overwrite);
  recursive_->setChecked(v.recursive);
  update_->setChecked(v.update);
  first_->setPlainText(Q(v.first));
  second_->setText(Q(v.second));
  single_->setChecked(v.single);
  batch_->setChecked(!v.single);
}

void CommandScreen::Command_Changed(int command) {
  FormValues v = Values();
  Apply_Command_Change(v, command, false);
  Show_Values(v);
  const FormRules r = Rules_For(v.command, false);
  first_->setEnabled(r.first);
  first_label_->setEnabled(r.first);
  browse_->setEnabled(r.browse);
  second_->setEnabled(r.second);
  second_label_->setEnabled(r.second);
  first_label_->setText(QString::fromLatin1(r.first_label));
  second_label_->setText(QString::fromLatin1(r.second_label));
  options_->setEnabled(r.options);
  overwrite_->setEnabled(r.overwrite);
  recursive_->setEnabled(r.recursive);
  update_->setEnabled(r.update);
  attrib_->setEnabled(r.attrib);
  for (QCheckBox* box : {hidden_, archive_, read_only_, system_}) box->setEnabled(r.attrib);
  size_->setEnabled(r.size);
  size_label_->setEnabled(r.size);
  drive_->setEnabled(r.drive);
  drive_label_->setEnabled(r.drive);
  date_->setEnabled(r.date_time);
  date_label_->setEnabled(r.date_time);
  time_->setEnabled(r.date_time);
  time_label_->setEnabled(r.date_time);
  single_->setEnabled(r.single_enabled);
  batch_->setEnabled(r.batch_enabled);
}

void CommandScreen::Browse() {
  const QStringList chosen = chooser_(this);
  if (chosen.isEmpty()) return;
  std::string field = first_->toPlainText().toStdString();
  for (const QString& path : chosen) field = Append_Browsed_Path(field, path.toStdString());
  first_->setPlainText(Q(field));
  first_->verticalScrollBar()->setValue(first_->verticalScrollBar()->maximum());
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
