#pragma once

#include <QDialog>

class QTableWidget;
class QTimer;

namespace kestavo::app {

// The relay's clients, a row each: those connected now, then the last 100 that left, newest first, with
// their address and port, when they connected, the bytes and frames sent, the bytes queued now and at
// most, and why they left. Not modal; refreshed every second while shown.
class ClientsDialog : public QDialog {
public:
    explicit ClientsDialog(QWidget* parent = nullptr);

    // Reads the relay's client statistics into the table.
    void Refresh();

    [[nodiscard]] QTableWidget* Table() const { return table_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QTableWidget* table_;
    QTimer* timer_;
};

} // namespace kestavo::app
