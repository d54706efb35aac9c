#pragma once

#include <QObject>
#include <QString>

// The observable interface language for views that re-render when it changes. Follows the
// "mirelo-lang" announcement, applied on the main thread.
class LangStore : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString lang READ lang WRITE setLang NOTIFY langChanged)

public:
    // The process-wide store, created on first use, living on the main thread, never destroyed.
    static LangStore &shared();

    // Starts with L10n::lang() and subscribes to the announcement.
    explicit LangStore(QObject *parent = nullptr);

    QString lang() const { return m_lang; }
    // Stores and announces the choice through L10n::setLang; this store follows at once.
    void setLang(const QString &code);

signals:
    void langChanged(const QString &lang);

private:
    void apply(const QString &code);

    QString m_lang;
};
