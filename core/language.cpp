#include "language.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QSettings>
#include <QTranslator>

#include <atomic>
#include <memory>

// The program's translations are built into the engine library (translations/CMakeLists.txt):
// a missing file can never turn the window back to its source language.
static void initTranslationResource()
{
    Q_INIT_RESOURCE(rw47hn_translations);
}

namespace Language {

namespace {

std::atomic<Code> installed{Code::Chinese};
QTranslator *programTranslator = nullptr;
QTranslator *qtTranslator = nullptr;

const char *const SettingsKey = "language";

QString qtTranslationsPath()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    return QLibraryInfo::location(QLibraryInfo::TranslationsPath);
#else
    return QLibraryInfo::path(QLibraryInfo::TranslationsPath);
#endif
}

void uninstall(QTranslator *&translator)
{
    if (translator == nullptr)
        return;
    QCoreApplication::removeTranslator(translator);
    delete translator;
    translator = nullptr;
}

// Loads `name` from the first folder that has it; installed only when found.
QTranslator *installFirstFound(const QString &name, const QStringList &folders)
{
    auto *translator = new QTranslator(QCoreApplication::instance());
    for (const QString &folder : folders) {
        if (translator->load(name, folder)) {
            QCoreApplication::installTranslator(translator);
            return translator;
        }
    }
    delete translator;
    return nullptr;
}

// The user's own settings; tests divert them with QStandardPaths::setTestModeEnabled().
std::unique_ptr<QSettings> userSettings()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("rw47hn-upgrader"),
                                       QStringLiteral("rw47hn-upgrader"));
}

} // namespace

std::optional<Code> fromOption(const QString &option)
{
    if (option == QLatin1String("zh"))
        return Code::Chinese;
    if (option == QLatin1String("en"))
        return Code::English;
    return std::nullopt;
}

QString optionName(Code code)
{
    return code == Code::English ? QStringLiteral("en") : QStringLiteral("zh");
}

QString localeName(Code code)
{
    return code == Code::English ? QStringLiteral("en") : QStringLiteral("zh_CN");
}

// Chinese needs no translation of the program's texts, only Qt's own: from Qt's translations
// folder, else from the translations folder beside the program (where the Windows ZIP has it).
// English needs the program's, and Qt's own texts are English already.
void install(Code code)
{
    initTranslationResource();
    uninstall(programTranslator);
    uninstall(qtTranslator);
    if (code == Code::English) {
        programTranslator = installFirstFound(QStringLiteral("rw47hn-upgrader_en"),
                                              {QStringLiteral(":/translations")});
    } else {
        qtTranslator = installFirstFound(
            QStringLiteral("qtbase_zh_CN"),
            {qtTranslationsPath(), QDir(QCoreApplication::applicationDirPath())
                                       .filePath(QStringLiteral("translations"))});
    }
    installed.store(code);
}

Code current()
{
    return installed.load();
}

std::optional<Code> saved()
{
    return fromOption(userSettings()->value(QLatin1String(SettingsKey)).toString());
}

void save(Code code)
{
    userSettings()->setValue(QLatin1String(SettingsKey), optionName(code));
}

} // namespace Language
