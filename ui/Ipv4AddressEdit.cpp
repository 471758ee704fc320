#include "ui/Ipv4AddressEdit.h"

#include <QEvent>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QValidator>

namespace {

// Up to three digits with a value of at most 255; blank is allowed.
class OctetValidator : public QValidator {
public:
    using QValidator::QValidator;

    State validate(QString& input, int&) const override
    {
        if (input.size() > 3)
            return Invalid;
        for (const QChar c : input) {
            if (c < u'0' || c > u'9')
                return Invalid;
        }
        return input.isEmpty() || input.toInt() <= 255 ? Acceptable : Invalid;
    }
};

}  // namespace

Ipv4AddressEdit::Ipv4AddressEdit(QWidget* parent) : QFrame(parent)
{
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 1, 2, 1);
    layout->setSpacing(0);
    const int octetWidth = QFontMetrics(font()).horizontalAdvance(QStringLiteral("0000")) + 4;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            auto* dot = new QLabel(QStringLiteral("."), this);
            layout->addWidget(dot);
        }
        auto* octet = new QLineEdit(this);
        octet->setFrame(false);
        octet->setAlignment(Qt::AlignCenter);
        octet->setMaxLength(3);
        octet->setValidator(new OctetValidator(octet));
        octet->setFixedWidth(octetWidth);
        octet->installEventFilter(this);
        // The control is one tab stop; its octets are reached with '.', the arrows or a click.
        if (i > 0)
            octet->setFocusPolicy(Qt::ClickFocus);
        connect(octet, &QLineEdit::textEdited, this, [this, i](const QString& text) {
            if (text.size() == 3 && octets_[i]->cursorPosition() == 3 && i < 3)
                MoveTo(i + 1, false);
        });
        octets_[i] = octet;
        layout->addWidget(octet);
    }
    setFocusProxy(octets_[0]);
    setFocusPolicy(Qt::StrongFocus);
}

void Ipv4AddressEdit::SetAddress(uint32_t hostOrderAddress)
{
    for (int i = 0; i < 4; ++i)
        octets_[i]->setText(QString::number((hostOrderAddress >> (24 - 8 * i)) & 0xFF));
}

uint32_t Ipv4AddressEdit::Address() const
{
    uint32_t address = 0;
    for (const QLineEdit* octet : octets_)
        address = (address << 8) | (octet->text().toUInt() & 0xFF);  // blank gives 0
    return address;
}

void Ipv4AddressEdit::MoveTo(int index, bool toStart)
{
    QLineEdit* octet = octets_[index];
    octet->setFocus(Qt::OtherFocusReason);
    if (toStart)
        octet->setCursorPosition(0);
    else
        octet->selectAll();
}

bool Ipv4AddressEdit::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress)
        return QFrame::eventFilter(watched, event);
    int index = 0;
    while (index < 4 && octets_[index] != watched)
        ++index;
    if (index == 4)
        return QFrame::eventFilter(watched, event);
    QLineEdit* octet = octets_[index];
    const auto* key = static_cast<QKeyEvent*>(event);
    switch (key->key()) {
    case Qt::Key_Period:
    case Qt::Key_Space:
        if (index < 3 && !octet->text().isEmpty() && !octet->hasSelectedText())
            MoveTo(index + 1, false);
        return true;
    case Qt::Key_Backspace:
        if (index > 0 && octet->cursorPosition() == 0 && !octet->hasSelectedText()) {
            MoveTo(index - 1, false);
            octets_[index - 1]->end(false);
            return true;
        }
        break;
    case Qt::Key_Left:
        if (index > 0 && octet->cursorPosition() == 0) {
            MoveTo(index - 1, false);
            octets_[index - 1]->end(false);
            return true;
        }
        break;
    case Qt::Key_Right:
        if (index < 3 && octet->cursorPosition() == octet->text().size()) {
            MoveTo(index + 1, true);
            return true;
        }
        break;
    default: break;
    }
    return QFrame::eventFilter(watched, event);
}

void Ipv4AddressEdit::changeEvent(QEvent* event)
{
    // A disabled field looks disabled as a whole, not just its octets.
    if (event->type() == QEvent::EnabledChange)
        UpdateBackground();
    QFrame::changeEvent(event);
}

void Ipv4AddressEdit::UpdateBackground()
{
    setBackgroundRole(isEnabled() ? QPalette::Base : QPalette::Window);
}
