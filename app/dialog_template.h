#pragma once

#include <map>

class QDialog;
class QWidget;

namespace kestavo::app {

// Creates every control of the main window from its template, each placed in dialog units converted
// with the dialog's font, fixes the dialog's size, and gives back the controls by id (the captions and
// frames, all IDC_STATIC, are left out). A caption that stands beside a control is that control's
// buddy, so assistive technology reads the control as labelled by it.
std::map<int, QWidget*> BuildControls(QDialog* dialog);

} // namespace kestavo::app
