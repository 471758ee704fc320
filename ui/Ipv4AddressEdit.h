#pragma once

#include <QFrame>
#include <cstdint>

class QLineEdit;

// An IPv4 address field of four octets, like the address control of the dialogs: '.' or a
// third digit moves on to the next octet, Backspace in an empty octet goes back. The address
// is a host-order 32-bit value, first octet in the most significant byte; blank octets count
// as 0. It is one stop in the tab order.
class Ipv4AddressEdit : public QFrame {
    Q_OBJECT
public:
    explicit Ipv4AddressEdit(QWidget* parent = nullptr);

    void SetAddress(uint32_t hostOrderAddress);
    uint32_t Address() const;
    QLineEdit* Octet(int index) const { return octets_[index]; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void MoveTo(int index, bool toStart);
    void UpdateBackground();

    QLineEdit* octets_[4];
};
