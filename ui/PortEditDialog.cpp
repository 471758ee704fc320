#include "ui/PortEditDialog.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QShowEvent>
#include <QVBoxLayout>

#include "service/PortService.h"
#include "ui/DataExchange.h"
#include "ui/Ipv4AddressEdit.h"
#include "ui/UiFont.h"

namespace {
constexpr int MaxCodeBytes = PortService::MaxCodeBytes;
}

PortEditDialog::PortEditDialog(const QString& caption, bool sharedPort, QWidget* parent)
    : QDialog(parent), caption(caption), sharedPort(sharedPort)
{
    setFont(DialogFont());
    setWindowTitle(caption);

    // Created in tab order.
    portEdit = new QLineEdit(this);
    portEdit->setObjectName("1008");
    portEdit->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), portEdit));
    codeEdit = new QLineEdit(this);
    codeEdit->setObjectName("1011");
    LimitUtf8Bytes(codeEdit, MaxCodeBytes);
    auto* protocolBox = new QGroupBox(QStringLiteral("网络连接方式"), this);
    udpButton = new QRadioButton(QStringLiteral("UDP"), protocolBox);
    udpButton->setObjectName("1016");
    tcpButton = new QRadioButton(QStringLiteral("TCP"), protocolBox);
    tcpButton->setObjectName("1015");
    intervalEdit = new QLineEdit(this);
    intervalEdit->setObjectName("1012");
    dynamicLoginBox = new QCheckBox(QStringLiteral("动态登录"), this);
    dynamicLoginBox->setObjectName("1009");
    addressEdit = new Ipv4AddressEdit(this);
    addressEdit->setObjectName("1010");
    okButton = new QPushButton(QStringLiteral("确定"), this);
    okButton->setObjectName("1");
    okButton->setDefault(true);
    cancelButton = new QPushButton(QStringLiteral("取消"), this);
    cancelButton->setObjectName("2");

    auto* protocolLayout = new QHBoxLayout(protocolBox);
    protocolLayout->addWidget(udpButton);
    protocolLayout->addSpacing(24);
    protocolLayout->addWidget(tcpButton);
    protocolLayout->addStretch();

    auto* fields = new QGridLayout;
    fields->setColumnMinimumWidth(2, 12);
    fields->addWidget(new QLabel(QStringLiteral("串口号"), this), 0, 0);
    fields->addWidget(portEdit, 0, 1);
    fields->addWidget(new QLabel(QStringLiteral("编码"), this), 0, 3);
    fields->addWidget(codeEdit, 0, 4);
    fields->addWidget(protocolBox, 1, 0, 1, 5);
    fields->addWidget(new QLabel(QStringLiteral("在线报告最大周期(秒)"), this), 2, 0, 1, 3);
    fields->addWidget(intervalEdit, 2, 3, 1, 2);
    fields->addWidget(dynamicLoginBox, 3, 0, 1, 5);
    fields->addWidget(new QLabel(QStringLiteral("对端IP地址"), this), 4, 0, 1, 3);
    fields->addWidget(addressEdit, 4, 3, 1, 2, Qt::AlignLeft);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(okButton);
    buttons->addWidget(cancelButton);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(portEdit, codeEdit);
    setTabOrder(codeEdit, udpButton);
    setTabOrder(udpButton, tcpButton);
    setTabOrder(tcpButton, intervalEdit);
    setTabOrder(intervalEdit, dynamicLoginBox);
    setTabOrder(dynamicLoginBox, addressEdit->Octet(0));
    setTabOrder(addressEdit->Octet(0), okButton);
    setTabOrder(okButton, cancelButton);

    connect(dynamicLoginBox, &QCheckBox::clicked, this, &PortEditDialog::OnDynamicLoginClicked);
    connect(okButton, &QPushButton::clicked, this, &PortEditDialog::accept);
    connect(cancelButton, &QPushButton::clicked, this, &PortEditDialog::reject);
}

bool PortEditDialog::ExchangeData(DataExchange::Direction direction)
{
    DataExchange dx(this, direction);
    dx.Text(codeEdit, Code, MaxCodeBytes);
    dx.Integer(portEdit, PortNumber, PortService::MinNumber, PortService::MaxNumber);
    dx.Integer(intervalEdit, LoginInterval, PortService::MinInterval, PortService::MaxInterval);
    dx.Check(dynamicLoginBox, dynamicLogin);
    dx.Radio({udpButton, tcpButton}, protocol);
    return dx.Succeeded();
}

void PortEditDialog::showEvent(QShowEvent* event)
{
    // Every run starts from the fields, so a rerun shows what the user entered last.
    if (!event->spontaneous()) {
        ExchangeData(DataExchange::ToWidgets);
        setWindowTitle(caption);
        portEdit->setEnabled(!sharedPort);
        addressEdit->SetAddress(hostOrderAddress);
        addressEdit->setEnabled(!dynamicLogin);
        QLineEdit* first = sharedPort ? codeEdit : portEdit;
        first->setFocus(Qt::OtherFocusReason);
        first->selectAll();
    }
    QDialog::showEvent(event);
}

void PortEditDialog::OnDynamicLoginClicked()
{
    // When an earlier field fails, dynamicLogin keeps its old value and so does the
    // address field's state.
    ExchangeData(DataExchange::FromWidgets);
    addressEdit->setEnabled(!dynamicLogin);
}

void PortEditDialog::accept()
{
    if (!ExchangeData(DataExchange::FromWidgets))
        return;
    hostOrderAddress = addressEdit->Address();
    QDialog::accept();
}
