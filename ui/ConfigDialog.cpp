#include "ui/ConfigDialog.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include "ui/UiFont.h"

ConfigDialog::ConfigDialog(QWidget* parent) : QDialog(parent)
{
    setFont(DialogFont());
    setWindowTitle(QStringLiteral("配置"));

    // Created in tab order.
    auto* modeBox = new QGroupBox(QStringLiteral("串口虚拟方式"), this);
    perPortButton_ = new QRadioButton(QStringLiteral("为每个DTU虚拟一个串口"), modeBox);
    perPortButton_->setObjectName("1014");
    sharedButton_ = new QRadioButton(QStringLiteral("所有DTU共用一个虚拟串口"), modeBox);
    sharedButton_->setObjectName("1015");
    sharedPortEdit_ = new QLineEdit(modeBox);
    sharedPortEdit_->setObjectName("1009");
    networkPortEdit_ = new QLineEdit(this);
    networkPortEdit_->setObjectName("1007");
    passwordEdit_ = new QLineEdit(this);
    passwordEdit_->setObjectName("1008");
    okButton_ = new QPushButton(QStringLiteral("确定"), this);
    okButton_->setObjectName("1");
    okButton_->setDefault(true);
    cancelButton_ = new QPushButton(QStringLiteral("取消"), this);
    cancelButton_->setObjectName("2");

    auto* sharedRow = new QHBoxLayout;
    sharedRow->addSpacing(20);
    sharedRow->addWidget(new QLabel(QStringLiteral("虚拟串口号"), modeBox));
    sharedRow->addWidget(sharedPortEdit_);
    sharedRow->addStretch();
    auto* modeLayout = new QVBoxLayout(modeBox);
    modeLayout->addWidget(perPortButton_);
    modeLayout->addWidget(sharedButton_);
    modeLayout->addLayout(sharedRow);

    auto* fields = new QGridLayout;
    fields->addWidget(new QLabel(QStringLiteral("网络端口号"), this), 0, 0);
    fields->addWidget(networkPortEdit_, 0, 1);
    fields->addWidget(new QLabel(QStringLiteral("登陆密码"), this), 1, 0);
    fields->addWidget(passwordEdit_, 1, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(okButton_);
    buttons->addWidget(cancelButton_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(modeBox);
    layout->addLayout(fields);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(perPortButton_, sharedButton_);
    setTabOrder(sharedButton_, sharedPortEdit_);
    setTabOrder(sharedPortEdit_, networkPortEdit_);
    setTabOrder(networkPortEdit_, passwordEdit_);
    setTabOrder(passwordEdit_, okButton_);
    setTabOrder(okButton_, cancelButton_);

    connect(perPortButton_, &QRadioButton::clicked, this, &ConfigDialog::OnModeClicked);
    connect(sharedButton_, &QRadioButton::clicked, this, &ConfigDialog::OnModeClicked);
    connect(okButton_, &QPushButton::clicked, this, &ConfigDialog::accept);
    connect(cancelButton_, &QPushButton::clicked, this, &ConfigDialog::reject);
}

bool ConfigDialog::ExchangeData(DataExchange::Direction direction)
{
    DataExchange dx(this, direction);
    dx.Text(passwordEdit_, password);
    dx.Integer(networkPortEdit_, networkPort, 1, 32767);
    dx.Radio({perPortButton_, sharedButton_}, mode);
    dx.Integer(sharedPortEdit_, sharedPortNumber, 1, 256);
    return dx.Succeeded();
}

void ConfigDialog::showEvent(QShowEvent* event)
{
    if (!event->spontaneous()) {
        ExchangeData(DataExchange::ToWidgets);
        sharedPortEdit_->setEnabled(mode == 1);
        (mode == 1 ? sharedButton_ : perPortButton_)->setFocus(Qt::OtherFocusReason);
    }
    QDialog::showEvent(event);
}

void ConfigDialog::OnModeClicked()
{
    // When the network port fails, mode keeps its old value and so does 1009's state.
    ExchangeData(DataExchange::FromWidgets);
    sharedPortEdit_->setEnabled(mode == 1);
}

void ConfigDialog::accept()
{
    if (ExchangeData(DataExchange::FromWidgets))
        QDialog::accept();
}
