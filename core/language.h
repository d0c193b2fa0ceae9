#pragma once

#include <QString>

#include <optional>

// The language of the program's texts: Chinese, the language its texts are written in and
// the one its users know, or English through Qt's translation system. The choice is the
// process's: installed once on the application, read by every thread that makes a line.
namespace Language {

enum class Code { Chinese, English };

// "zh" or "en", as --lang takes it; nothing for anything else.
std::optional<Code> fromOption(const QString &option);
// The code as QSettings keeps it and --lang takes it: "zh" or "en".
QString optionName(Code code);
// The locale name a log file states: "zh_CN" or "en".
QString localeName(Code code);

// Installs the program's translation for `code` and Qt's own (its dialogs, its standard
// buttons), in place of the ones installed before; widgets hear QEvent::LanguageChange. Only
// from the thread of the QCoreApplication, which must exist.
void install(Code code);
// The language installed last; Chinese before any. Any thread.
Code current();

// The language chosen in the window last time, if any; and keeping a new choice.
std::optional<Code> saved();
void save(Code code);

} // namespace Language
