#pragma once

#include <cstdint>
#include <functional>
#include <string>

class QLabel;
class QLineEdit;
class QPlainTextEdit;

namespace kestavo::app {

// Moves values between the dialog's members and its controls, one binding at a time, in one direction:
// towards the controls, or from them ("save and validate"). A value that fails validation shows its
// message, takes the focus to its control, and ends the exchange: the remaining bindings are skipped and
// the member keeps its value.
class DataExchange {
public:
    using MessageFn = std::function<void(const std::string&)>;

    DataExchange(bool saveAndValidate, MessageFn message);

    void Text(QLineEdit* control, std::string& value);
    void Text(QLabel* control, std::string& value);
    // Multi-line texts are held with "\r\n" line ends and shown with the widget's own.
    void Text(QPlainTextEdit* control, std::string& value);
    void Int(QLineEdit* control, std::int32_t& value);

    [[nodiscard]] bool SaveAndValidate() const { return saveAndValidate_; }
    [[nodiscard]] bool Failed() const { return failed_; }

private:
    bool saveAndValidate_;
    MessageFn message_;
    bool failed_ = false;
};

} // namespace kestavo::app
