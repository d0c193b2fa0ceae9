#include "languagemenu.h"

#include "language.h"

#include <QAction>
#include <QActionGroup>

namespace {

void choose(Language::Code code)
{
    Language::save(code);
    if (code != Language::current())
        Language::install(code);
}

} // namespace

void offerLanguages(QObject *owner, QAction *chinese, QAction *english)
{
    auto *group = new QActionGroup(owner);
    group->addAction(chinese);
    group->addAction(english);
    const bool inEnglish = Language::current() == Language::Code::English;
    (inEnglish ? english : chinese)->setChecked(true);
    QObject::connect(chinese, &QAction::triggered, owner, [] { choose(Language::Code::Chinese); });
    QObject::connect(english, &QAction::triggered, owner, [] { choose(Language::Code::English); });
}
