#include "ui/DataExchange.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QMessageBox>
#include <QValidator>

#include "service/PortMessages.h"

namespace {

const QString Caption = QStringLiteral("MV5840VSP");

class Utf8LimitValidator : public QValidator {
public:
    Utf8LimitValidator(int maxBytes, QObject* parent) : QValidator(parent), maxBytes_(maxBytes) {}

    State validate(QString& input, int&) const override
    {
        return input.toUtf8().size() <= maxBytes_ ? Acceptable : Invalid;
    }

private:
    int maxBytes_;
};

}  // namespace

DataExchange::DataExchange(QWidget* dialog, Direction direction) : dialog_(dialog), direction_(direction) {}

void DataExchange::Text(QLineEdit* edit, QString& field, int maxBytes)
{
    if (Skipped())
        return;
    if (direction_ == ToWidgets) {
        edit->setText(field);
        return;
    }
    const QString text = edit->text();
    if (maxBytes >= 0 && text.toUtf8().size() > maxBytes) {
        Fail(edit, QString::fromStdString(PortMessages::TextTooLong(maxBytes)));
        return;
    }
    field = text;
}

void DataExchange::Integer(QLineEdit* edit, int& field, int min, int max)
{
    if (Skipped())
        return;
    if (direction_ == ToWidgets) {
        edit->setText(QString::number(field));
        return;
    }
    bool ok = false;
    const qlonglong value = edit->text().trimmed().toLongLong(&ok, 10);
    if (!ok) {
        Fail(edit, QStringLiteral("请键入一个整数。"));
        return;
    }
    if (value < min || value > max) {
        Fail(edit, QString::fromStdString(PortMessages::IntegerRange(min, max)));
        return;
    }
    field = static_cast<int>(value);
}

void DataExchange::Check(QAbstractButton* box, int& field)
{
    if (Skipped())
        return;
    if (direction_ == ToWidgets)
        box->setChecked(field != 0);
    else
        field = box->isChecked() ? 1 : 0;
}

void DataExchange::Radio(const QList<QAbstractButton*>& group, int& field)
{
    if (Skipped())
        return;
    if (direction_ == ToWidgets) {
        if (field >= 0 && field < group.size())
            group[field]->setChecked(true);
        return;
    }
    field = -1;
    for (int i = 0; i < group.size(); ++i) {
        if (group[i]->isChecked()) {
            field = i;
            break;
        }
    }
}

void DataExchange::Fail(QLineEdit* edit, const QString& message)
{
    failed_ = true;
    QMessageBox box(QMessageBox::Warning, Caption, message, QMessageBox::Ok, dialog_);
    box.exec();
    edit->setFocus(Qt::OtherFocusReason);
    edit->selectAll();
}

void LimitUtf8Bytes(QLineEdit* edit, int maxBytes)
{
    edit->setValidator(new Utf8LimitValidator(maxBytes, edit));
}
