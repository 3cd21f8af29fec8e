#include "app/data_exchange.h"

#include <utility>

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>

#include "app/widget_text.h"
#include "config/profile.h"

namespace kestavo::app {
namespace {

std::string ToCrLf(const QString& text) {
    std::string plain = FromQString(text);
    std::string result;
    result.reserve(plain.size() + plain.size() / 16);
    for (const char c : plain) {
        if (c == '\n') {
            result += '\r';
        }
        result += c;
    }
    return result;
}

} // namespace

DataExchange::DataExchange(bool saveAndValidate, MessageFn message)
    : saveAndValidate_(saveAndValidate), message_(std::move(message)) {}

void DataExchange::Text(QLineEdit* control, std::string& value) {
    if (failed_) {
        return;
    }
    if (saveAndValidate_) {
        value = FromQString(control->text());
    } else {
        control->setText(ToQString(value));
    }
}

void DataExchange::Text(QLabel* control, std::string& value) {
    if (failed_) {
        return;
    }
    if (saveAndValidate_) {
        value = FromQString(control->text());
    } else {
        SetValueLabelText(control, ToQString(value));
    }
}

void DataExchange::Text(QPlainTextEdit* control, std::string& value) {
    if (failed_) {
        return;
    }
    if (saveAndValidate_) {
        value = ToCrLf(control->toPlainText());
    } else {
        SetPaneText(control, value);
    }
}

void DataExchange::Int(QLineEdit* control, std::int32_t& value) {
    if (failed_) {
        return;
    }
    if (!saveAndValidate_) {
        control->setText(QString::number(value));
        return;
    }
    const std::optional<std::int32_t> parsed = config::ParseInteger(FromQString(control->text()));
    if (!parsed) {
        failed_ = true;
        if (message_) {
            message_("Please enter an integer.");
        }
        control->setFocus();
        control->selectAll();
        return;
    }
    value = *parsed;
}

} // namespace kestavo::app
