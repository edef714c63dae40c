#include "app/gui/forms/script_runner.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QRadioButton>
#include <QVBoxLayout>

#include "app/gui/forms/script_files.h"

ScriptRunner::ScriptRunner(FormHost& host, const std::string& work_folder, FormMessage message, QWidget* parent)
    : QDialog(parent), host_(host), message_(std::move(message)) {
  setWindowTitle(QStringLiteral("Select  Script  File For Execution"));
  if (!message_) message_ = [this](const std::string& text) { Show_Form_Message(this, text); };

  list_ = new QListWidget;
  list_->setObjectName(QStringLiteral("scriptList"));
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  for (const std::string& name : Script_Files_In(work_folder)) list_->addItem(QString::fromStdString(name));
  if (list_->count() > 0) list_->setCurrentRow(0);
  auto* list_label = new QLabel(QStringLiteral("Script &Files"));
  list_label->setBuddy(list_);
  // Double-clicking a file starts it, as OK does.
  connect(list_, &QListWidget::itemActivated, this, [this] { accept(); });

  single_ = new QRadioButton(QStringLiteral("&Single"));
  single_->setObjectName(QStringLiteral("ctl1054"));
  batch_ = new QRadioButton(QStringLiteral("&Batch"));
  batch_->setObjectName(QStringLiteral("ctl1055"));
  batch_->setChecked(true);
  auto* mode_group = new QButtonGroup(this);
  mode_group->addButton(single_);
  mode_group->addButton(batch_);
  auto* mode = new QGroupBox(QStringLiteral("Mode"));
  auto* mode_layout = new QVBoxLayout(mode);
  mode_layout->addWidget(single_);
  mode_layout->addWidget(batch_);
  mode_layout->addStretch(1);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, Qt::Vertical);
  connect(buttons, &QDialogButtonBox::accepted, this, &ScriptRunner::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &ScriptRunner::reject);

  auto* left = new QVBoxLayout;
  left->addWidget(list_label);
  left->addWidget(list_, 1);
  auto* right = new QVBoxLayout;
  right->addWidget(mode);
  right->addStretch(1);
  right->addWidget(buttons);
  auto* layout = new QHBoxLayout(this);
  layout->addLayout(left, 1);
  layout->addLayout(right);
  resize(440, 300);
}

std::string ScriptRunner::Chosen() const {
  if (list_->count() == 0) return {};
  const QList<QListWidgetItem*> selected = list_->selectedItems();
  const QListWidgetItem* item = selected.isEmpty() ? list_->item(0) : selected.front();
  return item->text().toStdString();
}

void ScriptRunner::accept() {
  // Nothing is marked for an empty list: a station flagged for a batch run
  // without a script would stay out of every selection until aborted.
  if (list_->count() == 0) {
    message_("No Items in Working Directory");
    return;
  }
  const bool single = single_->isChecked();
  const std::string line = Script_Run_Line(Chosen(), single);
  if (Distribute_Line(host_, line, !single, DistributeKind::kScript) == DistributeResult::kTooLong) {
    message_("The script's name is too long for a command line.");
    return;
  }
  QDialog::accept();
}
