#include "app/clients_dlg.h"

#include <QDateTime>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "networkdriver/client_statistics.h"

namespace kestavo::app {
namespace {

const QStringList kColumns{QStringLiteral("Client"),     QStringLiteral("Connected since"),
                           QStringLiteral("Bytes sent"), QStringLiteral("Frames sent"),
                           QStringLiteral("Queued now"), QStringLiteral("Queued at most"),
                           QStringLiteral("State")};

QString Time(std::int64_t ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

} // namespace

ClientsDialog::ClientsDialog(QWidget* parent)
    : QDialog(parent), table_(new QTableWidget(this)), timer_(new QTimer(this)) {
    setWindowTitle(QStringLiteral("Kestavo clients"));
    setModal(false);
    auto* caption = new QLabel(QStringLiteral("&Clients"), this);
    caption->setBuddy(table_);
    table_->setAccessibleName(QStringLiteral("Clients"));
    table_->setAccessibleDescription(
        QStringLiteral("The relay's connected clients, then the last 100 that left, newest first"));
    table_->setColumnCount(static_cast<int>(kColumns.size()));
    table_->setHorizontalHeaderLabels(kColumns);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->verticalHeader()->setVisible(false);
    table_->horizontalHeader()->setStretchLastSection(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(caption);
    layout->addWidget(table_);
    resize(760, 320);
    timer_->setInterval(1000);
    connect(timer_, &QTimer::timeout, this, [this] { Refresh(); });
}

void ClientsDialog::Refresh() {
    const networkdriver::ClientSnapshot snapshot = networkdriver::TakeClientSnapshot();
    std::vector<const networkdriver::ClientStatistics*> rows;
    for (const auto& client : snapshot.connected) {
        rows.push_back(&client);
    }
    for (auto client = snapshot.left.rbegin(); client != snapshot.left.rend(); ++client) {
        rows.push_back(&*client);
    }
    table_->setRowCount(static_cast<int>(rows.size()));
    for (int row = 0; row < static_cast<int>(rows.size()); ++row) {
        const networkdriver::ClientStatistics& client = *rows[static_cast<std::size_t>(row)];
        const QStringList cells{
            QString::fromStdString(client.subject.empty() ? client.peer
                                                          : client.peer + " (" + client.subject + ")"),
            Time(client.connectedSince),
            QString::number(client.bytesSent),
            QString::number(client.framesSent),
            QString::number(client.queuedBytes),
            QString::number(client.maxQueuedBytes),
            client.left.empty() ? QStringLiteral("connected")
                                : QStringLiteral("left at %1: %2")
                                      .arg(Time(client.leftAt), QString::fromStdString(client.left))};
        for (int column = 0; column < cells.size(); ++column) {
            QTableWidgetItem* item = table_->item(row, column);
            if (item == nullptr) {
                item = new QTableWidgetItem;
                table_->setItem(row, column, item);
            }
            item->setText(cells[column]);
        }
    }
}

void ClientsDialog::showEvent(QShowEvent* event) {
    Refresh();
    timer_->start();
    QDialog::showEvent(event);
}

void ClientsDialog::hideEvent(QHideEvent* event) {
    timer_->stop();
    QDialog::hideEvent(event);
}

} // namespace kestavo::app
