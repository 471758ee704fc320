#include "ui/PortMonitorDialog.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QVBoxLayout>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "format/TraceFormat.h"
#include "net/Log.h"
#include "ui/UiFont.h"

PortMonitorDialog::PortMonitorDialog(int fd, const QString& portName, QWidget* parent)
    : QDialog(parent), portName(portName), fd(fd)
{
    setFont(DialogFont());
    SetPortName(portName);
    setWindowFlag(Qt::WindowMaximizeButtonHint);
    setSizeGripEnabled(true);

    view = new QPlainTextEdit(this);
    view->setObjectName(QStringLiteral("trace"));
    view->setReadOnly(true);
    view->setUndoRedoEnabled(false);
    view->setLineWrapMode(QPlainTextEdit::NoWrap);
    view->setMaximumBlockCount(MaxLines);
    view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    view->setMinimumSize(720, 360);

    status = new QLabel(this);
    status->setObjectName(QStringLiteral("count"));
    pauseButton = new QPushButton(QStringLiteral("暂停"), this);
    pauseButton->setObjectName(QStringLiteral("pause"));
    pauseButton->setAutoDefault(false);
    connect(pauseButton, &QPushButton::clicked, this, [this] { SetPaused(!paused); });
    auto* closeButton = new QPushButton(QStringLiteral("关闭"), this);
    closeButton->setObjectName(QStringLiteral("close"));
    closeButton->setAutoDefault(false);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::close);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(status, 1);
    buttons->addWidget(pauseButton);
    buttons->addWidget(closeButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(view);
    layout->addLayout(buttons);
    showTimer = new QTimer(this);
    showTimer->setSingleShot(true);
    connect(showTimer, &QTimer::timeout, this, &PortMonitorDialog::ShowWaiting);
    ShowState();

    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        StopUnread(errno);
        return;
    }
    readable = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(readable, &QSocketNotifier::activated, this, &PortMonitorDialog::ReadTrace);
}

PortMonitorDialog::~PortMonitorDialog()
{
    if (fd >= 0) {
        readable->setEnabled(false);
        ::close(fd);
    }
}

void PortMonitorDialog::ReadTrace()
{
    // One piece at a time, so that a fast trace leaves the window room to answer; the
    // notifier comes back while more waits.
    uint8_t piece[65536];
    ssize_t got;
    do
        got = read(fd, piece, sizeof piece);
    while (got < 0 && errno == EINTR);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (got < 0)
        return StopUnread(errno);
    if (got == 0)
        return Stop(decoder.Buffered() > 0 ? QStringLiteral("跟踪已结束，最后一条记录不完整。")
                                           : QStringLiteral("跟踪已结束。"));
    decoder.Feed(piece, static_cast<size_t>(got));
    TraceRecord record;
    TraceDecoder::Status next;
    while ((next = decoder.Next(record)) == TraceDecoder::Status::Record) {
        ++received;
        Add(std::move(record));
    }
    if (next == TraceDecoder::Status::Malformed) {
        Log::Warning(portName.toStdString() + ": monitor view stopped: the trace is malformed: " + decoder.Error());
        return Stop(QStringLiteral("跟踪数据无法识别，监视已停止。"));
    }
    ShowSoon();
    ShowState();
}

void PortMonitorDialog::Add(TraceRecord&& record)
{
    // One line short of what the view keeps, for the line that says how many were left out.
    if (waiting.size() == static_cast<size_t>(MaxLines - 1)) {
        waiting.pop_front();
        ++leftOut;
    }
    waiting.push_back(std::move(record));
}

void PortMonitorDialog::ShowSoon()
{
    if (paused || showTimer->isActive())
        return;
    const qint64 since = lastShown.isValid() ? lastShown.elapsed() : ShowIntervalMs;
    if (since >= ShowIntervalMs)
        ShowWaiting();
    else
        showTimer->start(static_cast<int>(ShowIntervalMs - since));
}

void PortMonitorDialog::ShowWaiting()
{
    showTimer->stop();
    if (waiting.empty() && ending.isEmpty())
        return;
    QStringList lines;
    if (leftOut > 0)
        lines << QStringLiteral("（另有 %1 条较早的记录未显示）").arg(leftOut);
    for (const TraceRecord& record : waiting)
        lines << TraceLine(record, TraceStyle::HexAndText);
    if (!ending.isEmpty())
        lines << ending;
    waiting.clear();
    leftOut = 0;
    ending.clear();
    // One append for the lot: the view lays out what it shows, not every line on its way.
    view->appendPlainText(lines.join(QLatin1Char('\n')));
    lastShown.start();
}

void PortMonitorDialog::Stop(const QString& why)
{
    if (readable)
        readable->setEnabled(false);
    ::close(fd);
    fd = -1;
    ending = why;
    if (!paused)
        ShowWaiting();
    ShowState();
}

void PortMonitorDialog::SetPortName(const QString& name)
{
    portName = name;
    setWindowTitle(QStringLiteral("监视 ") + name);
}

void PortMonitorDialog::Finish(const QString& why)
{
    if (Reading())
        Stop(why);
}

void PortMonitorDialog::StopUnread(int error)
{
    const std::string reason = Log::SystemReason(error);
    Log::Warning(portName.toStdString() + ": monitor view stopped: cannot read the trace: " + reason);
    Stop(QStringLiteral("无法读取跟踪，监视已停止：") + QString::fromStdString(reason));
}

void PortMonitorDialog::SetPaused(bool pause)
{
    paused = pause;
    pauseButton->setText(paused ? QStringLiteral("继续") : QStringLiteral("暂停"));
    if (paused)
        showTimer->stop();
    else
        ShowWaiting();
    ShowState();
}

void PortMonitorDialog::ShowState()
{
    QString text = QStringLiteral("已收到 %1 条记录").arg(received);
    if (paused)
        text += QStringLiteral("，已暂停");
    if (fd < 0)
        text += QStringLiteral("，跟踪已结束");
    status->setText(text);
    // After the end only what waits is left to show.
    pauseButton->setEnabled(fd >= 0 || paused);
}
