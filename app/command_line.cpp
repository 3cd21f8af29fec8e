#include "app/command_line.h"

#include <string>
#include <vector>

#include "options/schema.h"

namespace kestavo::app {

std::optional<WindowOptions> ReadCommandLine(const QStringList& arguments, QString& output, int& exitCode) {
    std::vector<std::string> words;
    for (const QString& argument : arguments) {
        words.push_back(argument.toLocal8Bit().toStdString());
    }
    std::string text;
    const std::optional<options::Values> values =
        options::Parse(words, options::Program::Window, text, exitCode);
    if (!values) {
        output = QString::fromLocal8Bit(text.c_str());
        return std::nullopt;
    }
    return WindowOptions{values->access, values->outputs, values->tls};
}

} // namespace kestavo::app
