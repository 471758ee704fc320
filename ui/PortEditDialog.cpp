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
    : QDialog(parent), caption_(caption), sharedPort_(sharedPort)
{
    setFont(DialogFont());
    setWindowTitle(caption);

    // Created in tab order.
    portEdit_ = new QLineEdit(this);
    portEdit_->setObjectName("1008");
    portEdit_->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), portEdit_));
    codeEdit_ = new QLineEdit(this);
    codeEdit_->setObjectName("1011");
    LimitUtf8Bytes(codeEdit_, MaxCodeBytes);
    auto* protocolBox = new QGroupBox(QStringLiteral("网络连接方式"), this);
    udpButton_ = new QRadioButton(QStringLiteral("UDP"), protocolBox);
    udpButton_->setObjectName("1016");
    tcpButton_ = new QRadioButton(QStringLiteral("TCP"), protocolBox);
    tcpButton_->setObjectName("1015");
    intervalEdit_ = new QLineEdit(this);
    intervalEdit_->setObjectName("1012");
    dynamicLoginBox_ = new QCheckBox(QStringLiteral("动态登录"), this);
    dynamicLoginBox_->setObjectName("1009");
    addressEdit_ = new Ipv4AddressEdit(this);
    addressEdit_->setObjectName("1010");
    // The port's network server: one client on another host uses the port in an application's
    // place.
    netPortEdit_ = new QLineEdit(this);
    netPortEdit_->setObjectName("netPort");
    netPortEdit_->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), netPortEdit_));
    netPortEdit_->setToolTip(
        QStringLiteral("网络上的一个客户端可以通过此TCP端口代替本机的应用程序使用该串口；0表示关闭。"));
    auto* netModeBox = new QGroupBox(QStringLiteral("网络客户端协议"), this);
    rfc2217Button_ = new QRadioButton(QStringLiteral("RFC 2217"), netModeBox);
    rfc2217Button_->setObjectName("netModeRfc2217");
    rawButton_ = new QRadioButton(QStringLiteral("原始数据"), netModeBox);
    rawButton_->setObjectName("netModeRaw");
    okButton_ = new QPushButton(QStringLiteral("确定"), this);
    okButton_->setObjectName("1");
    okButton_->setDefault(true);
    cancelButton_ = new QPushButton(QStringLiteral("取消"), this);
    cancelButton_->setObjectName("2");

    auto* protocolLayout = new QHBoxLayout(protocolBox);
    protocolLayout->addWidget(udpButton_);
    protocolLayout->addSpacing(24);
    protocolLayout->addWidget(tcpButton_);
    protocolLayout->addStretch();
    auto* netModeLayout = new QHBoxLayout(netModeBox);
    netModeLayout->addWidget(rfc2217Button_);
    netModeLayout->addSpacing(24);
    netModeLayout->addWidget(rawButton_);
    netModeLayout->addStretch();

    auto* fields = new QGridLayout;
    fields->setColumnMinimumWidth(2, 12);
    fields->addWidget(new QLabel(QStringLiteral("串口号"), this), 0, 0);
    fields->addWidget(portEdit_, 0, 1);
    fields->addWidget(new QLabel(QStringLiteral("编码"), this), 0, 3);
    fields->addWidget(codeEdit_, 0, 4);
    fields->addWidget(protocolBox, 1, 0, 1, 5);
    fields->addWidget(new QLabel(QStringLiteral("在线报告最大周期(秒)"), this), 2, 0, 1, 3);
    fields->addWidget(intervalEdit_, 2, 3, 1, 2);
    fields->addWidget(dynamicLoginBox_, 3, 0, 1, 5);
    fields->addWidget(new QLabel(QStringLiteral("对端IP地址"), this), 4, 0, 1, 3);
    fields->addWidget(addressEdit_, 4, 3, 1, 2, Qt::AlignLeft);
    fields->addWidget(new QLabel(QStringLiteral("网络端口(0为关闭)"), this), 5, 0, 1, 3);
    fields->addWidget(netPortEdit_, 5, 3, 1, 2);
    fields->addWidget(netModeBox, 6, 0, 1, 5);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(okButton_);
    buttons->addWidget(cancelButton_);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(portEdit_, codeEdit_);
    setTabOrder(codeEdit_, udpButton_);
    setTabOrder(udpButton_, tcpButton_);
    setTabOrder(tcpButton_, intervalEdit_);
    setTabOrder(intervalEdit_, dynamicLoginBox_);
    setTabOrder(dynamicLoginBox_, addressEdit_->Octet(0));
    setTabOrder(addressEdit_->Octet(0), netPortEdit_);
    setTabOrder(netPortEdit_, rfc2217Button_);
    setTabOrder(rfc2217Button_, rawButton_);
    setTabOrder(rawButton_, okButton_);
    setTabOrder(okButton_, cancelButton_);

    connect(dynamicLoginBox_, &QCheckBox::clicked, this, &PortEditDialog::OnDynamicLoginClicked);
    connect(okButton_, &QPushButton::clicked, this, &PortEditDialog::accept);
    connect(cancelButton_, &QPushButton::clicked, this, &PortEditDialog::reject);
}

bool PortEditDialog::ExchangeData(DataExchange::Direction direction)
{
    DataExchange dx(this, direction);
    dx.Text(codeEdit_, code, MaxCodeBytes);
    dx.Integer(portEdit_, portNumber, PortService::MinNumber, PortService::MaxNumber);
    dx.Integer(intervalEdit_, loginInterval, PortService::MinInterval, PortService::MaxInterval);
    dx.Check(dynamicLoginBox_, dynamicLogin);
    dx.Radio({udpButton_, tcpButton_}, protocol);
    dx.Integer(netPortEdit_, netPort, 0, PortConfig::MaxNetPort);
    dx.Radio({rfc2217Button_, rawButton_}, netMode);
    return dx.Succeeded();
}

void PortEditDialog::showEvent(QShowEvent* event)
{
    // Every run starts from the fields, so a rerun shows what the user entered last.
    if (!event->spontaneous()) {
        ExchangeData(DataExchange::ToWidgets);
        setWindowTitle(caption_);
        portEdit_->setEnabled(!sharedPort_);
        addressEdit_->SetAddress(hostOrderAddress);
        addressEdit_->setEnabled(!dynamicLogin);
        QLineEdit* first = sharedPort_ ? codeEdit_ : portEdit_;
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
    addressEdit_->setEnabled(!dynamicLogin);
}

void PortEditDialog::accept()
{
    if (!ExchangeData(DataExchange::FromWidgets))
        return;
    hostOrderAddress = addressEdit_->Address();
    QDialog::accept();
}
