#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <QDialog>
#include <QIcon>

#include "app/data_exchange.h"
#include "core/receiver.h"
#include "frames/sample_ring.h"
#include "publish/outputs.h"
#include "relay/client_table.h"
#include "usb/device_list.h"
#include "usb/test_params.h"
#include "usb/transfer.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace kestavo::app {

class LogPane;
class ClientsDialog;
} // namespace kestavo::app

namespace kestavo::scope {
class ScopeWindow;
}

namespace kestavo::app {
class CKestavoDlg;

// The main window. It owns every piece of run-time state; the work itself is done by the subsystems'
// plain C++ code, which the handlers here call.
class CKestavoDlg : public QDialog {
public:
    // Shows one error to the operator. By default a modal message box titled "Kestavo" with an OK
    // button; tests pass their own to capture every message.
    using MessageBoxFn = std::function<void(const std::string&)>;

    explicit CKestavoDlg(MessageBoxFn messageBox = {}, QWidget* parent = nullptr);
    ~CKestavoDlg() override;
    CKestavoDlg(const CKestavoDlg&) = delete;
    CKestavoDlg& operator=(const CKestavoDlg&) = delete;

    // Initialises the window, then runs it modally until it closes.
    int DoModal();
    // Everything between creating the window and showing it: the first exchange towards the controls,
    // the window menu, the icon, the device list, the configuration and the host's address.
    bool OnInitDialog();

    // Runs the data exchange in one direction; false when a control's value was refused.
    bool UpdateData(bool saveAndValidate = true);

    void AddLogLine(const std::string& line);

    // The access rules in force for the relay, in words (empty: none), said in the log at every Start.
    void SetAccessDescription(std::string description) { accessDescription_ = std::move(description); }
    // The outputs beside the relay (NATS, ZeroMQ): started at each Open, named after the dongle opened,
    // and ended at Close.
    void SetOutputOptions(publish::OutputOptions options) { outputOptions_ = std::move(options); }
    // The relay's TLS listener, from the command line; its files are read again at each Start.
    void SetTlsOptions(core::TlsOptions options) { receiver_.Relay().UseTls(std::move(options)); }
    [[nodiscard]] const publish::Outputs* Outputs() const { return receiver_.Outputs(); }

    void OnSysCommand(unsigned id, long param);
    // Opens the window of the relay's clients (not modal), or brings it forward.
    void OnClients();
    [[nodiscard]] ClientsDialog* Clients() const { return clientsDialog_; }
    // Opens the live plot of the dongle's samples (not modal), or brings it forward. While it is shown,
    // the reader hands it every transfer's samples.
    void OnScope();
    [[nodiscard]] scope::ScopeWindow* Scope() const { return scopeWindow_; }
    [[nodiscard]] QIcon OnQueryDragIcon() const { return icon_; }

    int ListDevices();
    bool LoadConfiguration();
    bool StoreConfiguration();
    void OnBrowse();

    // The device connection and its reports.
    void OnOpenClose();
    void StopTransfers();
    void StartOutputs(struct usb_device* device);
    void ReportTestInformation();
    void ReportEndpoint(const usb::TransferContext* context);
    void RefreshEndpointReports();
    // Timer 1 turns the packet counter into the data rate; timer 2 refreshes the endpoint statistics.
    void OnTimer(int id);

    // The relay server.
    void OnRelayStartStop();
    bool StartRelayServer();
    void StopRelayServer();
    // The four window messages of the relay's callbacks, each returning 1.
    long WindowProc(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
    long OnClientData(std::uintptr_t wParam, std::intptr_t lParam);
    long OnSocketEvent(std::uintptr_t wParam, std::intptr_t lParam);
    long OnClientConnected(std::uintptr_t wParam, std::intptr_t lParam);
    long OnClientDisconnected(std::uintptr_t wParam, std::intptr_t lParam);
    // Sends one transfer's samples to every relay client, the outputs and the plot, as the reader does.
    // Any thread.
    void RelaySamplePacket(const frames::SamplePacket& packet) { receiver_.Deliver(packet); }
    // The packets relayed since the last call, read and cleared in one step.
    std::int32_t TakePacketCount() { return receiver_.Relay().Table().TakePacketCount(); }

    // The control with the given id, or nullptr.
    [[nodiscard]] QWidget* Control(int id) const;

    // Read-only views of the state, for the subsystems that report on it and for tests.
    [[nodiscard]] const std::string& IniPath() const { return iniPath_; }
    [[nodiscard]] std::int32_t Port() const { return port_; }
    [[nodiscard]] const std::string& StoreFilename() const { return storeFilename_; }
    [[nodiscard]] std::int32_t StoreDataToFile() const { return storeDataToFile_; }
    [[nodiscard]] const usb::DeviceSlots& DeviceSlots() const { return deviceSlots_; }
    [[nodiscard]] const usb::TestParams& TestParams() const { return receiver_.Opened().Params(); }
    [[nodiscard]] QMenu* WindowMenu() const { return windowMenu_; }
    [[nodiscard]] const relay::ClientTable& ClientTable() const { return receiver_.Relay().Table(); }
    [[nodiscard]] bool DeviceOpen() const { return deviceOpen_; }
    [[nodiscard]] const usb::TransferContext* ReadSide() const { return receiver_.Opened().ReadSide(); }
    [[nodiscard]] const usb::TransferContext* WriteSide() const { return receiver_.Opened().WriteSide(); }
    [[nodiscard]] const std::string& TestInformation() const { return testInformation_; }
    [[nodiscard]] const std::string& EndpointStatistics() const { return endpointStatistics_; }
    [[nodiscard]] bool TimersRunning() const;

protected:
    virtual void DoDataExchange(DataExchange& dx);
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void CreateControls();
    void ShowMessage(const std::string& text);

    MessageBoxFn messageBox_;
    std::map<int, QWidget*> controls_;
    QMenu* windowMenu_ = nullptr;
    ClientsDialog* clientsDialog_ = nullptr;
    scope::ScopeWindow* scopeWindow_ = nullptr;
    // The plot's ring lives as long as the window, which stops the reader before it goes; the receiver
    // feeds it only while the plot is shown.
    std::shared_ptr<frames::SampleRing> scopeRing_;

    QIcon icon_;
    bool deviceOpen_ = false;
    std::string iniPath_;
    std::string accessDescription_;
    publish::OutputOptions outputOptions_;
    // The dongle opened once per Open, the relay with its client table and packet counter, the outputs
    // (made at Open, after the reader is ready and before it starts; let go at Close) and the plot's
    // feed. Its relay events reach the window as window messages (relay_callbacks.h).
    core::Receiver receiver_;
    LogPane* logPane_ = nullptr;
    std::int32_t port_ = 9001;
    std::string serverAddress_ = "127.0.0.1";
    QLabel* ownAddressLabel_ = nullptr;
    QPushButton* relayButton_ = nullptr;
    QLabel* dataRateCaption_ = nullptr;
    QLabel* dataRateValue_ = nullptr;
    QLineEdit* portEdit_ = nullptr;
    std::string storeFilename_ = "c:\\data\\data.csv";
    QLabel* storeFileCaption_ = nullptr;
    QLineEdit* storeFileEdit_ = nullptr;
    QPushButton* browseButton_ = nullptr;
    std::int32_t storeDataToFile_ = 1;
    usb::DeviceSlots deviceSlots_{};
    QTimer* dataRateTimer_ = nullptr;   // timer 1
    QTimer* statisticsTimer_ = nullptr; // timer 2
    QPlainTextEdit* testInformationPane_ = nullptr;
    std::string testInformation_;
    QPlainTextEdit* endpointStatisticsPane_ = nullptr;
    std::string endpointStatistics_;
    QPushButton* openCloseButton_ = nullptr;
    QComboBox* deviceList_ = nullptr;
};

} // namespace kestavo::app
