#include "ui/signin/SignInView.h"

#include "app/AppState.h"
#include "l10n/LangStore.h"
#include "l10n/MTheme.h"
#include "ui/common/Style.h"

#include <QEasingCurve>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QVariantAnimation>

namespace {

using Field = SignInViewModel::Field;
using Link = SignInViewModel::Link;

constexpr int kColumnWidth = 380;
constexpr int kEntranceMs = 450;
constexpr int kRise = 8;

QLabel *messageLabel(QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignCenter);
    label->setFont(Style::font(12));
    label->hide();
    return label;
}

// A spinner centred over a button, shown instead of its title.
Spinner *overlaySpinner(QPushButton *button, QColor color)
{
    auto *spinner = new Spinner(button, color);
    spinner->hide();
    return spinner;
}

void centre(QWidget *child, QWidget *over)
{
    child->move((over->width() - child->width()) / 2, (over->height() - child->height()) / 2);
}

} // namespace

SignInView::SignInView(SignInViewModel &model, AppState &app, QWidget *parent)
    : Backdrop(parent), m_model(model), m_app(app)
{
    setObjectName(QStringLiteral("signIn"));
    m_column = new QWidget(this);
    m_column->setFixedWidth(kColumnWidth);
    auto *column = new QVBoxLayout(m_column);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    m_title = new QLabel(QStringLiteral("Sarvo"), m_column);
    QFont titleFont = Style::font(42, QFont::Bold);
    titleFont.setPointSizeF(42);
    m_title->setFont(titleFont);
    m_title->setAlignment(Qt::AlignCenter);
    column->addWidget(m_title);
    m_tagline = new QLabel(QStringLiteral("Fast. Secure. Everywhere."), m_column);
    m_tagline->setFont(Style::font(14));
    m_tagline->setAlignment(Qt::AlignCenter);
    column->addSpacing(6);
    column->addWidget(m_tagline);
    column->addSpacing(26);

    m_bootError = messageLabel(m_column);
    m_bootError->setObjectName(QStringLiteral("bootError"));
    m_bootError->setContentsMargins(12, 8, 12, 8);
    column->addWidget(m_bootError);

    m_card = new GlassCard(18, m_column);
    auto *card = new QVBoxLayout(m_card);
    card->setContentsMargins(24, 24, 24, 20);
    card->setSpacing(12);
    m_fieldsLayout = new QVBoxLayout;
    m_fieldsLayout->setSpacing(12);
    card->addLayout(m_fieldsLayout);

    for (Field f : {Field::account, Field::password, Field::nickname, Field::email, Field::code}) {
        auto *edit = new QLineEdit(m_card);
        edit->setObjectName(QStringLiteral("field%1").arg(int(f)));
        if (SignInViewModel::isSecret(f))
            edit->setEchoMode(QLineEdit::Password);
        if (f == Field::email || f == Field::account)
            edit->setInputMethodHints(Qt::ImhEmailCharactersOnly | Qt::ImhNoAutoUppercase);
        connect(edit, &QLineEdit::textEdited, this, [this, f](const QString &text) { m_model.setField(f, text); });
        connect(edit, &QLineEdit::returnPressed, this, [this] {
            if (m_model.primaryEnabled())
                m_model.submit();
        });
        edit->hide();
        m_edits.insert(f, edit);
    }

    m_codeRow = new QWidget(m_card);
    auto *codeRow = new QHBoxLayout(m_codeRow);
    codeRow->setContentsMargins(0, 0, 0, 0);
    codeRow->setSpacing(8);
    m_codeButton = new QPushButton(m_codeRow);
    m_codeButton->setProperty("kind", "outline");
    m_codeButton->setMinimumWidth(118);
    m_codeButton->setMinimumHeight(40);
    m_codeButton->setCursor(Qt::PointingHandCursor);
    m_codeSpinner = overlaySpinner(m_codeButton, MTheme::brand.color());
    connect(m_codeButton, &QPushButton::clicked, this, [this] { m_model.sendCode(); });
    codeRow->addWidget(m_edits[Field::code], 1);
    codeRow->addWidget(m_codeButton);
    m_codeRow->hide();

    m_primary = new QPushButton(m_card);
    m_primary->setObjectName(QStringLiteral("primary"));
    m_primary->setProperty("kind", "primary");
    m_primary->setCursor(Qt::PointingHandCursor);
    m_primarySpinner = overlaySpinner(m_primary, Qt::white);
    connect(m_primary, &QPushButton::clicked, this, [this] { m_model.submit(); });
    card->addSpacing(4);
    card->addWidget(m_primary);

    m_err = messageLabel(m_card);
    m_err->setObjectName(QStringLiteral("err"));
    m_notice = messageLabel(m_card);
    m_notice->setObjectName(QStringLiteral("notice"));
    card->addWidget(m_err);
    card->addWidget(m_notice);
    column->addWidget(m_card);

    column->addSpacing(14);
    m_linksLayout = new QHBoxLayout;
    m_linksLayout->setContentsMargins(6, 0, 6, 0);
    for (Link link : {Link::toSignUp, Link::toLogin, Link::toReset}) {
        auto *button = new QPushButton(m_column);
        button->setProperty("kind", "link");
        button->setCursor(Qt::PointingHandCursor);
        button->setFocusPolicy(Qt::TabFocus);
        connect(button, &QPushButton::clicked, this, [this, link] {
            m_model.follow(link);
            if (QLineEdit *first = m_edits.value(m_model.fields().value(0)))
                first->setFocus();
        });
        button->hide();
        m_links.insert(link, button);
    }
    column->addLayout(m_linksLayout);

    m_fade = new QGraphicsOpacityEffect(m_column);
    m_fade->setOpacity(0);
    m_column->setGraphicsEffect(m_fade);
    m_entrance = new QVariantAnimation(this);
    m_entrance->setStartValue(0.0);
    m_entrance->setEndValue(1.0);
    m_entrance->setDuration(kEntranceMs);
    m_entrance->setEasingCurve(QEasingCurve::OutCubic);
    connect(m_entrance, &QVariantAnimation::valueChanged, this, [this](const QVariant &v) { setAppear(v.toReal()); });
    connect(m_entrance, &QVariantAnimation::finished, this, [this] {
        // Drawing without the effect is cheaper and sharper once the form stands still.
        m_column->setGraphicsEffect(nullptr);
        m_fade = nullptr;
    });

    connect(&m_model, &SignInViewModel::changed, this, &SignInView::render);
    connect(&m_app, &AppState::bootErrorChanged, this, &SignInView::render);
    connect(&LangStore::shared(), &LangStore::langChanged, this, &SignInView::render);
    connect(&Style::themeWatcher(), &ThemeWatcher::appearanceChanged, this, &SignInView::render);
    render();
}

void SignInView::setAppear(qreal value)
{
    m_appear = value;
    if (m_fade)
        m_fade->setOpacity(value);
    place();
}

void SignInView::showEvent(QShowEvent *event)
{
    Backdrop::showEvent(event);
    if (m_entrance->state() == QAbstractAnimation::Stopped && m_appear < 1)
        m_entrance->start();
    if (QLineEdit *first = m_edits.value(m_model.fields().value(0)))
        first->setFocus();
}

void SignInView::resizeEvent(QResizeEvent *event)
{
    Backdrop::resizeEvent(event);
    place();
}

void SignInView::place()
{
    m_column->adjustSize();
    const int height = m_column->sizeHint().height();
    m_column->resize(kColumnWidth, height);
    const int offset = qRound(kRise * (1.0 - m_appear));
    m_column->move((width() - kColumnWidth) / 2, qMax(16, (this->height() - height) / 2 - 24) + offset);
    centre(m_primarySpinner, m_primary);
    centre(m_codeSpinner, m_codeButton);
}

void SignInView::retranslate()
{
    for (auto it = m_edits.cbegin(); it != m_edits.cend(); ++it)
        it.value()->setPlaceholderText(m_model.placeholder(it.key()));
    for (auto it = m_links.cbegin(); it != m_links.cend(); ++it)
        it.value()->setText(SignInViewModel::linkText(it.key()));
}

void SignInView::render()
{
    const bool dark = MTheme::isDark();
    m_title->setStyleSheet(QStringLiteral("color: %1;").arg(MTheme::ink.resolved(dark).name()));
    m_tagline->setStyleSheet(QStringLiteral("color: %1;").arg(MTheme::inkSoft.resolved(dark).name()));
    m_err->setStyleSheet(QStringLiteral("color: %1;").arg(MTheme::danger.resolved(dark).name()));
    m_notice->setStyleSheet(QStringLiteral("color: %1;").arg(MTheme::brandDark.resolved(dark).name()));
    QColor dangerTint = MTheme::danger.resolved(dark);
    dangerTint.setAlphaF(0.12f);
    m_bootError->setStyleSheet(QStringLiteral("color: %1; background: rgba(%2,%3,%4,%5); border-radius: 10px;")
                                   .arg(MTheme::danger.resolved(dark).name())
                                   .arg(dangerTint.red())
                                   .arg(dangerTint.green())
                                   .arg(dangerTint.blue())
                                   .arg(dangerTint.alphaF()));
    m_codeSpinner->setColor(MTheme::brand.resolved(dark));
    retranslate();

    // The fields of this mode, in order; the code field sits in a row with its button.
    const QList<Field> fields = m_model.fields();
    if (fields != m_shownFields) {
        while (m_fieldsLayout->count() > 0)
            delete m_fieldsLayout->takeAt(0);
        for (QLineEdit *edit : std::as_const(m_edits))
            edit->setVisible(false);
        m_codeRow->hide();
        for (Field f : fields) {
            if (f == Field::code) {
                m_fieldsLayout->addWidget(m_codeRow);
                m_codeRow->show();
            } else {
                m_fieldsLayout->addWidget(m_edits[f]);
            }
            m_edits[f]->show();
        }
        m_shownFields = fields;
    }
    for (auto it = m_edits.cbegin(); it != m_edits.cend(); ++it) {
        const QString value = m_model.field(it.key());
        if (it.value()->text() != value)
            it.value()->setText(value);
        it.value()->setEnabled(!m_model.busy());
    }

    m_primary->setText(m_model.busy() ? QString() : m_model.primaryTitle());
    m_primary->setEnabled(m_model.primaryEnabled());
    m_primarySpinner->setVisible(m_model.busy());
    m_codeButton->setText(m_model.codeButtonLabel());
    m_codeButton->setEnabled(m_model.codeEnabled());
    m_codeSpinner->setVisible(m_model.sending());

    m_err->setText(m_model.err().value_or(QString()));
    m_err->setVisible(m_model.err().has_value());
    m_notice->setText(m_model.notice().value_or(QString()));
    m_notice->setVisible(m_model.notice().has_value());
    m_bootError->setText(m_app.bootError().value_or(QString()));
    m_bootError->setVisible(m_app.bootError().has_value() && !m_app.credentials());

    while (m_linksLayout->count() > 0)
        delete m_linksLayout->takeAt(0);
    for (QPushButton *button : std::as_const(m_links))
        button->hide();
    const QList<Link> links = m_model.links();
    for (qsizetype i = 0; i < links.size(); ++i) {
        if (i > 0)
            m_linksLayout->addStretch(1);
        m_linksLayout->addWidget(m_links[links[i]]);
        m_links[links[i]]->show();
    }
    if (links.size() == 1) {
        m_linksLayout->insertStretch(0, 1);
        m_linksLayout->addStretch(1);
    }
    place();
}
