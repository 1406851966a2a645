// This is an internal header of the Vantrel program.
// Two controls with the behaviour the form's layout asks for where Qt's own differ:
// - TEdit: a one-line edit box whose MaxLength limits only what is typed, so that a longer text
//   set by the program (a stored UIN) is shown and stored back whole;
// - TStatusBar: a status bar with one simple panel that shows one text until it is replaced
//   (QStatusBar's own message is cleared by status tips and menus).
//
// Thread rule: GUI thread only. Both are owned by their Qt parent.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QStatusBar>
#include <string>

namespace vantrel {

class TEdit : public QLineEdit {
 public:
  explicit TEdit(QWidget* Parent);

  int MaxLength() const { return maxLength_; }
  void SetMaxLength(int Value) { maxLength_ = Value; }
  // The text as a byte string (UTF-8) and back.
  std::string Text() const { return text().toStdString(); }
  void SetText(const std::string& Value) { setText(QString::fromStdString(Value)); }

 private:
  class TLengthValidator;
  int maxLength_ = 0;  // 0: no limit
};

class TStatusBar : public QStatusBar {
 public:
  explicit TStatusBar(QWidget* Parent);

  std::string SimpleText() const { return panel_->text().toStdString(); }
  void SetSimpleText(const std::string& Value) { panel_->setText(QString::fromStdString(Value)); }

 private:
  QLabel* panel_;  // owned by this status bar (Qt parent)
};

}  // namespace vantrel
