#pragma once

#include "ui/common/Decor.h"
#include "ui/signin/SignInViewModel.h"

#include <QHash>
#include <QPointer>

class AppState;
class QGraphicsOpacityEffect;
class QLabel;
class QLineEdit;
class QPushButton;
class QVariantAnimation;
class QHBoxLayout;
class QVBoxLayout;

// The sign-in, registration and reset form over the ambient backdrop. Renders its model.
class SignInView : public Backdrop {
    Q_OBJECT

public:
    SignInView(SignInViewModel &model, AppState &app, QWidget *parent = nullptr);

    SignInViewModel &model() { return m_model; }
    QLineEdit *edit(SignInViewModel::Field field) const { return m_edits.value(field); }
    QPushButton *primaryButton() const { return m_primary; }
    QPushButton *codeButton() const { return m_codeButton; }
    QPushButton *linkButton(SignInViewModel::Link link) const { return m_links.value(link); }
    QLabel *errorLabel() const { return m_err; }
    QLabel *noticeLabel() const { return m_notice; }
    QLabel *bootErrorLabel() const { return m_bootError; }
    // The entrance animation's progress, 0 (hidden, 8 px low) to 1 (in place).
    qreal appear() const { return m_appear; }

protected:
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void render();
    void retranslate();
    void place();
    void setAppear(qreal value);

    SignInViewModel &m_model;
    AppState &m_app;
    QWidget *m_column = nullptr;
    QGraphicsOpacityEffect *m_fade = nullptr;
    QVariantAnimation *m_entrance = nullptr;
    qreal m_appear = 0;
    QLabel *m_title = nullptr;
    QLabel *m_tagline = nullptr;
    QLabel *m_bootError = nullptr;
    QWidget *m_card = nullptr;
    QVBoxLayout *m_fieldsLayout = nullptr;
    QHash<SignInViewModel::Field, QLineEdit *> m_edits;
    QWidget *m_codeRow = nullptr;
    QPushButton *m_codeButton = nullptr;
    Spinner *m_codeSpinner = nullptr;
    QPushButton *m_primary = nullptr;
    Spinner *m_primarySpinner = nullptr;
    QLabel *m_err = nullptr;
    QLabel *m_notice = nullptr;
    QHBoxLayout *m_linksLayout = nullptr;
    QHash<SignInViewModel::Link, QPushButton *> m_links;
    QList<SignInViewModel::Field> m_shownFields;
};
