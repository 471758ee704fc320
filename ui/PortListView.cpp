#include "ui/PortListView.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QHelpEvent>
#include <QMenu>
#include <QToolTip>

#include "service/PortMessages.h"

PortListView::PortListView(QWidget* parent) : QTableWidget(0, 6, parent)
{
    setObjectName(QStringLiteral("1012"));
    setHorizontalHeaderLabels({QStringLiteral("名称"), QStringLiteral("编码"), QStringLiteral("IP地址"),
                               QStringLiteral("连接"), QStringLiteral("接收字节计数"), QStringLiteral("发送字节计数")});
    const int widths[] = {60, 100, 140, 60, 110, 110};
    for (int c = 0; c < 6; ++c)
        setColumnWidth(c, widths[c]);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    horizontalHeader()->setHighlightSections(false);
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(true);
    setWordWrap(false);
    setTabKeyNavigation(false);
}

void PortListView::AppendRow(int record, const std::string& name)
{
    const int row = rowCount();
    insertRow(row);
    for (int c = 0; c < columnCount(); ++c)
        setItem(row, c, new QTableWidgetItem);
    item(row, ColName)->setText(QString::fromStdString(name));
    item(row, ColName)->setData(Qt::UserRole, record);
}

void PortListView::DeleteRow(int row)
{
    if (row >= 0 && row < rowCount())
        removeRow(row);
}

int PortListView::RowCount() const
{
    return rowCount();
}

int PortListView::RecordAtRow(int row) const
{
    const QTableWidgetItem* cell = item(row, ColName);
    return cell ? cell->data(Qt::UserRole).toInt() : -1;
}

void PortListView::SetCell(int row, int column, const std::string& text)
{
    if (QTableWidgetItem* cell = item(row, column))
        cell->setText(QString::fromStdString(text));
}

int PortListView::SelectedRow() const
{
    const QList<QTableWidgetSelectionRange> ranges = selectedRanges();
    int first = -1;
    for (const QTableWidgetSelectionRange& range : ranges) {
        if (first < 0 || range.topRow() < first)
            first = range.topRow();
    }
    return first;
}

void PortListView::SetNameToolTip(int row, const QString& text)
{
    if (QTableWidgetItem* cell = item(row, ColName))
        cell->setToolTip(text);
}

void PortListView::SetLineSettingsSource(std::function<QString(int record)> source)
{
    lineSettings_ = std::move(source);
}

QString PortListView::NameToolTip(int row) const
{
    const QTableWidgetItem* cell = item(row, ColName);
    if (!cell)
        return {};
    QString text = cell->toolTip();
    const int record = RecordAtRow(row);
    const QString line = lineSettings_ ? lineSettings_(record) : QString();
    if (!text.isEmpty() && !line.isEmpty())
        text += QLatin1Char('\n') + line;
    const std::optional<PortStatus> port = status_ ? status_(record) : std::nullopt;
    const int gap = port ? port->config.FrameGap : PortConfig::DefaultFrameGap;
    if (!text.isEmpty() && gap != PortConfig::DefaultFrameGap)
        text += QLatin1Char('\n') + QString::fromStdString(PortMessages::FrameGap(gap));
    if (const std::string network = port ? PortMessages::Network(*port) : std::string();
        !text.isEmpty() && !network.empty())
        text += QLatin1Char('\n') + QString::fromStdString(network);
    if (!text.isEmpty() && port)
        text += QLatin1Char('\n') + QString::fromStdString(PortMessages::Statistics(*port));
    return text;
}

bool PortListView::viewportEvent(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const QModelIndex index = indexAt(help->pos());
        if (index.isValid() && index.column() == ColName) {
            const QString text = NameToolTip(index.row());
            if (text.isEmpty())
                QToolTip::hideText();
            else
                QToolTip::showText(help->globalPos(), text, viewport(), visualRect(index));
            return true;
        }
    }
    return QTableWidget::viewportEvent(event);
}

void PortListView::contextMenuEvent(QContextMenuEvent* event)
{
    // The menu key opens it for the selected row, the mouse for the row under it.
    const bool byKey = event->reason() == QContextMenuEvent::Keyboard;
    const int row = byKey ? SelectedRow() : indexAt(event->pos()).row();
    const int record = row >= 0 ? RecordAtRow(row) : -1;
    if (record < 0) {
        event->ignore();
        return;
    }
    selectRow(row);
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("rowMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    // The record as it was when the menu opened: rows may move while it is open.
    connect(menu->addAction(QStringLiteral("监视…")), &QAction::triggered, this,
            [this, record] { emit MonitorRequested(record); });
    // The window's own entries (about) stay within reach on a row too.
    if (!window()->actions().isEmpty()) {
        menu->addSeparator();
        menu->addActions(window()->actions());
    }
    const QRect cell = visualRect(model()->index(row, ColName));
    menu->popup(byKey ? viewport()->mapToGlobal(cell.center()) : event->globalPos());
    event->accept();
}

void PortListView::SetStateToolTip(int row, const QString& text)
{
    for (int c = ColCode; c < columnCount(); ++c) {
        if (QTableWidgetItem* cell = item(row, c))
            cell->setToolTip(text);
    }
}

void PortListView::SetStatusSource(std::function<std::optional<PortStatus>(int record)> source)
{
    status_ = std::move(source);
}
