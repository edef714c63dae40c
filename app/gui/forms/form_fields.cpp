#include "app/gui/forms/form_fields.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

std::string FormFields::First() const {
  if (first_line != nullptr) return first_line->text().toStdString();
  QString text = first_text->toPlainText();
  text.replace(QLatin1String("\r\n"), QLatin1String(" "));
  text.replace(QLatin1Char('\n'), QLatin1Char(' '));
  text.replace(QLatin1Char('\r'), QLatin1Char(' '));
  return text.toStdString();
}

FormValues FormFields::Read() const {
  FormValues v;
  v.command = command->currentIndex();
  v.drive = drive->currentIndex();
  v.size = size->text().toStdString();
  v.date = date->text().toStdString();
  v.time = time->text().toStdString();
  v.hidden = hidden->isChecked();
  v.archive = archive->isChecked();
  v.read_only = read_only->isChecked();
  v.system = system->isChecked();
  v.overwrite = overwrite->isChecked();
  v.recursive = recursive->isChecked();
  v.update = update->isChecked();
  v.first = First();
  v.second = second->text().toStdString();
  return v;
}

void FormFields::Show(const FormValues& v) const {
  const QSignalBlocker block(command);
  command->setCurrentIndex(v.command);
  drive->setCurrentIndex(v.drive);
  size->setText(Q(v.size));
  date->setText(Q(v.date));
  time->setText(Q(v.time));
  hidden->setChecked(v.hidden);
  archive->setChecked(v.archive);
  read_only->setChecked(v.read_only);
  system->setChecked(v.system);
  overwrite->setChecked(v.overwrite);
  recursive->setChecked(v.recursive);
  update->setChecked(v.update);
  if (first_line != nullptr)
    first_line->setText(Q(v.first));
  else
    first_text->setPlainText(Q(v.first));
  second->setText(Q(v.second));
}

void FormFields::Apply(const FormRules& r) const {
  QWidget* first = first_line != nullptr ? static_cast<QWidget*>(first_line) : first_text;
  first->setEnabled(r.first);
  first_label->setEnabled(r.first);
  first_label->setText(QString::fromLatin1(r.first_label));
  browse->setEnabled(r.browse);
  second->setEnabled(r.second);
  second_label->setEnabled(r.second);
  second_label->setText(QString::fromLatin1(r.second_label));
  options->setEnabled(r.options);
  overwrite->setEnabled(r.overwrite);
  recursive->setEnabled(r.recursive);
  update->setEnabled(r.update);
  attrib->setEnabled(r.attrib);
  for (QCheckBox* box : {hidden, archive, read_only, system}) box->setEnabled(r.attrib);
  size->setEnabled(r.size);
  size_label->setEnabled(r.size);
  drive->setEnabled(r.drive);
  drive_label->setEnabled(r.drive);
  date->setEnabled(r.date_time);
  date_label->setEnabled(r.date_time);
  time->setEnabled(r.date_time);
  time_label->setEnabled(r.date_time);
}

void FormFields::Append_Paths(const std::vector<std::string>& paths) const {
  std::string field = first_line != nullptr ? first_line->text().toStdString()
                                            : first_text->toPlainText().toStdString();
  for (const std::string& path : paths) field = Append_Browsed_Path(field, path);
  if (first_line != nullptr) {
    first_line->setText(Q(field));
    first_line->setCursorPosition(first_line->text().size());
  } else {
    first_text->setPlainText(Q(field));
    first_text->verticalScrollBar()->setValue(first_text->verticalScrollBar()->maximum());
  }
}
