#include "Dialogs.h"

#include <QInputDialog>
#include <QMessageBox>

namespace vantrel {

void ShowMessage(QWidget* Parent, const std::string& Text) {
  QMessageBox Box(QMessageBox::NoIcon, QStringLiteral("Vantrel"), QString::fromStdString(Text),
                  QMessageBox::Ok, Parent);
  Box.setObjectName(MessageBoxName);
  Box.exec();
}

std::string InputBox(QWidget* Parent, const std::string& Caption, const std::string& Prompt,
                     const std::string& Default) {
  QInputDialog Dialog(Parent);
  Dialog.setObjectName(InputBoxName);
  Dialog.setInputMode(QInputDialog::TextInput);
  Dialog.setWindowTitle(QString::fromStdString(Caption));
  Dialog.setLabelText(QString::fromStdString(Prompt));
  Dialog.setTextValue(QString::fromStdString(Default));
  if (Dialog.exec() != QDialog::Accepted) return Default;
  return Dialog.textValue().toStdString();
}

}  // namespace vantrel
