#include "Controls.h"

#include <QValidator>

namespace vantrel {

// Refuses an edit that would make the text longer than MaxLength, unless the text is already
// longer (then it may only shrink): a program-set text is never cut.
class TEdit::TLengthValidator : public QValidator {
 public:
  explicit TLengthValidator(TEdit* Edit) : QValidator(Edit), edit_(Edit) {}

  State validate(QString& Input, int&) const override {
    const int Max = edit_->MaxLength();
    if (Max <= 0 || Input.size() <= Max) return Acceptable;
    return Input.size() < edit_->text().size() ? Acceptable : Invalid;
  }

 private:
  TEdit* edit_;  // the edit box that owns this validator
};

TEdit::TEdit(QWidget* Parent) : QLineEdit(Parent) {
  setValidator(new TLengthValidator(this));  // owned by this edit box (Qt parent)
}

TStatusBar::TStatusBar(QWidget* Parent) : QStatusBar(Parent), panel_(new QLabel(this)) {
  setSizeGripEnabled(false);
  panel_->setObjectName("SimplePanel");
  panel_->setContentsMargins(2, 0, 2, 0);
  addWidget(panel_, 1);
}

}  // namespace vantrel
