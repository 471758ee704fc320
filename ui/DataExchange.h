#pragma once

#include <QList>
#include <QString>

class QAbstractButton;
class QLineEdit;
class QWidget;

// One pass of a dialog's data exchange: its value fields go into their widgets, or come back
// out of them with validation. On the way back the first field that fails shows its message
// (exclamation icon, caption "MV5840VSP"), gets the focus and ends the pass, so the fields
// after it keep their values.
class DataExchange {
public:
    enum Direction { ToWidgets, FromWidgets };

    DataExchange(QWidget* dialog, Direction direction);

    // Text of at most maxBytes bytes of UTF-8; maxBytes < 0 means no limit.
    void Text(QLineEdit* edit, QString& field, int maxBytes = -1);
    // An integer from min to max.
    void Integer(QLineEdit* edit, int& field, int min, int max);
    // 1 when checked, else 0.
    void Check(QAbstractButton* box, int& field);
    // Index of the checked button of the group, -1 when none is.
    void Radio(const QList<QAbstractButton*>& group, int& field);

    bool Succeeded() const { return !failed_; }

private:
    bool Skipped() const { return failed_; }
    void Fail(QLineEdit* edit, const QString& message);

    QWidget* dialog_;
    Direction direction_;
    bool failed_ = false;
};

// Keeps an edit from taking more than maxBytes bytes of UTF-8 as the user types or pastes.
// Text put in by the program is not cut.
void LimitUtf8Bytes(QLineEdit* edit, int maxBytes);
