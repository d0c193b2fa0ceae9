#pragma once

class QAction;
class QObject;

// The 语言 / Language menu of either window: its two entries, each named in its own language
// so that whoever cannot read the one shown finds theirs. A choice takes effect at once (every
// window hears QEvent::LanguageChange) and is kept for the next start.
void offerLanguages(QObject *owner, QAction *chinese, QAction *english);
