#pragma once

#include <QDialog>
#include <QString>

#include "ui/DataExchange.h"

class QLineEdit;
class QPushButton;
class QRadioButton;

// The system configuration: port virtualisation mode, network port, login password and the
// shared port's COM number. The caller presets the fields, runs exec() and reads them after
// OK. Widgets are named by their control ids ("1014", "1007", ...; "1" OK, "2" Cancel).
class ConfigDialog : public QDialog {
    Q_OBJECT
public:
    explicit ConfigDialog(QWidget* parent = nullptr);

    QString password;          // no length limit, shown as typed
    int networkPort = 0;       // 1 to 32767
    int mode = 0;              // 0 one virtual port per DTU, 1 one shared port
    int sharedPortNumber = 0;  // 1 to 256

    void accept() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    bool ExchangeData(DataExchange::Direction direction);
    void OnModeClicked();

    QRadioButton* perPortButton_;
    QRadioButton* sharedButton_;
    QLineEdit* sharedPortEdit_;
    QLineEdit* networkPortEdit_;
    QLineEdit* passwordEdit_;
    QPushButton* okButton_;
    QPushButton* cancelButton_;
};
