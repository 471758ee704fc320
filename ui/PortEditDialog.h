#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>

#include "ui/DataExchange.h"

class Ipv4AddressEdit;
class QCheckBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

// The dialog in which the user enters one port, for adding ("增加") and for editing ("编辑").
// The caller presets the value fields, runs exec() and reads them back after OK; exec() may
// run again and starts from the values the fields hold. Widgets are named by their control
// ids ("1008", "1011", ...; "1" is OK, "2" Cancel).
class PortEditDialog : public QDialog {
    Q_OBJECT
public:
    PortEditDialog(const QString& caption, bool sharedPort, QWidget* parent = nullptr);

    QString code;                   // at most 11 bytes of UTF-8
    int portNumber = 0;             // COM number, 1 to 256
    int loginInterval = 300;        // seconds, 10 to 100000
    int dynamicLogin = 0;           // the DTU's address comes from its login
    int protocol = 0;               // 0 UDP, 1 TCP
    uint32_t hostOrderAddress = 0;  // the fixed address, first octet in the high byte
    int netPort = 0;                // TCP port for a network client, 0 to 65535 (0: none)
    int netMode = 0;                // 0 RFC 2217, 1 raw

    void accept() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    bool ExchangeData(DataExchange::Direction direction);
    void OnDynamicLoginClicked();

    QString caption_;
    bool sharedPort_;
    QLineEdit* portEdit_;
    QLineEdit* codeEdit_;
    QRadioButton* udpButton_;
    QRadioButton* tcpButton_;
    QLineEdit* intervalEdit_;
    QCheckBox* dynamicLoginBox_;
    Ipv4AddressEdit* addressEdit_;
    QLineEdit* netPortEdit_;
    QRadioButton* rfc2217Button_;
    QRadioButton* rawButton_;
    QPushButton* okButton_;
    QPushButton* cancelButton_;
};
