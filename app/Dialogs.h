// This is an internal header of the Vantrel program.
// The program's modal dialogs: a message box with an OK button, and an input box with a prompt,
// one line of text and OK and Cancel (the "Set Proxy" dialog).
//
// Thread rule: GUI thread only. Each call runs a nested event loop until the dialog closes; the
// dialog is owned by the call and gone when it returns.
#pragma once

#include <QWidget>
#include <string>

namespace vantrel {

// Object names, for finding the dialogs while they are open.
inline constexpr char MessageBoxName[] = "VantrelMessage";
inline constexpr char InputBoxName[] = "VantrelInput";

// Shows Text with the program's title and waits for OK.
void ShowMessage(QWidget* Parent, const std::string& Text);
// Shows Caption, Prompt and an edit box holding Default; returns the edited text for OK and
// Default for Cancel (or when the box is closed).
std::string InputBox(QWidget* Parent, const std::string& Caption, const std::string& Prompt,
                     const std::string& Default);

}  // namespace vantrel
