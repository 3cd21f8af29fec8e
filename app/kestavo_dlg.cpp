#include "app/kestavo_dlg.h"

#include <array>
#include <utility>
#include <vector>

#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include "app/about_dlg.h"
#include "app/clients_dlg.h"
#include "app/dialog_template.h"
#include "app/icon.h"
#include "app/log_pane.h"
#include "app/relay_callbacks.h"
#include "app/resource.h"
#include "app/widget_text.h"
#include "app/window_mailbox.h"
#include "config/configuration.h"
#include "core/texts.h"
#include "networkdriver/network_driver.h"
#include "scope/scope_window.h"
#include "usb/reports.h"

namespace kestavo::app {

namespace {

template <typename T> T* As(QWidget* widget) {
    auto* typed = dynamic_cast<T*>(widget);
    Q_ASSERT(typed != nullptr);
    return typed;
}

} // namespace

CKestavoDlg::CKestavoDlg(MessageBoxFn messageBox, QWidget* parent)
    : QDialog(parent), messageBox_(std::move(messageBox)), receiver_({}, DispatchToWindow) {
    setWindowTitle(QString::fromLatin1(kApplicationTitle));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::WindowMinimizeButtonHint);
    CreateControls();

    iniPath_ = config::MakeIniPath();
    icon_ = WindowIcon();
    // The remaining members start at their defaults by their initialisers: the device closed, no
    // workers, the packet counter, the client table and every device slot cleared, the transfer
    // parameters set.
    WindowMailbox::Instance().Attach(this);
    usb::InitializeLibrary();
}

CKestavoDlg::~CKestavoDlg() {
    StopTransfers();
    relay::ClientTable& table = receiver_.Relay().Table();
    if (table.Running()) {
        table.SendStopFrame();
    }
    // From here on the relay's callbacks find no window and return at once.
    WindowMailbox::Instance().Detach();
    table.ReleaseAll();
}

void CKestavoDlg::CreateControls() {
    controls_ = BuildControls(this);
    logPane_ = As<LogPane>(Control(IDC_LOG));
    ownAddressLabel_ = As<QLabel>(Control(IDC_OWN_ADDRESS));
    relayButton_ = As<QPushButton>(Control(IDC_RELAY_START_STOP));
    dataRateCaption_ = As<QLabel>(Control(IDC_DATA_RATE_CAPTION));
    dataRateValue_ = As<QLabel>(Control(IDC_DATA_RATE));
    portEdit_ = As<QLineEdit>(Control(IDC_PORT));
    storeFileCaption_ = As<QLabel>(Control(IDC_STORE_FILE_CAPTION));
    storeFileEdit_ = As<QLineEdit>(Control(IDC_STORE_FILE));
    browseButton_ = As<QPushButton>(Control(IDC_BROWSE));
    testInformationPane_ = As<QPlainTextEdit>(Control(IDC_TEST_INFORMATION));
    endpointStatisticsPane_ = As<QPlainTextEdit>(Control(IDC_ENDPOINT_STATISTICS));
    openCloseButton_ = As<QPushButton>(Control(IDC_OPEN_CLOSE));
    deviceList_ = As<QComboBox>(Control(IDC_DEVICE_LIST));

    testInformationPane_->hide();
    endpointStatisticsPane_->hide();

    connect(browseButton_, &QPushButton::clicked, this, [this] { OnBrowse(); });
    connect(relayButton_, &QPushButton::clicked, this, [this] { OnRelayStartStop(); });
    connect(openCloseButton_, &QPushButton::clicked, this, [this] { OnOpenClose(); });

    dataRateTimer_ = new QTimer(this);
    statisticsTimer_ = new QTimer(this);
    connect(dataRateTimer_, &QTimer::timeout, this, [this] { OnTimer(1); });
    connect(statisticsTimer_, &QTimer::timeout, this, [this] { OnTimer(2); });
}

QWidget* CKestavoDlg::Control(int id) const {
    const auto found = controls_.find(id);
    return found == controls_.end() ? nullptr : found->second;
}

void CKestavoDlg::DoDataExchange(DataExchange& dx) {
    // The bindings that only attach a control to its member were made when the controls were created;
    // these are the ones that carry values, in the template's order.
    dx.Text(testInformationPane_, testInformation_);
    dx.Text(endpointStatisticsPane_, endpointStatistics_);
    dx.Int(portEdit_, port_);
    dx.Text(ownAddressLabel_, serverAddress_);
    dx.Text(storeFileEdit_, storeFilename_);
}

bool CKestavoDlg::UpdateData(bool saveAndValidate) {
    DataExchange dx(saveAndValidate, [this](const std::string& text) { ShowMessage(text); });
    DoDataExchange(dx);
    return !dx.Failed();
}

void CKestavoDlg::ShowMessage(const std::string& text) {
    if (messageBox_) {
        messageBox_(text);
        return;
    }
    QMessageBox box(QMessageBox::Warning, QString::fromLatin1(kApplicationTitle), ToQString(text),
                    QMessageBox::Ok, this);
    box.exec();
}

int CKestavoDlg::DoModal() {
    OnInitDialog();
    return exec();
}

bool CKestavoDlg::OnInitDialog() {
    UpdateData(false);

    const QString aboutText = QString::fromLatin1(kAboutMenuText);
    if (!aboutText.isEmpty()) {
        windowMenu_ = new QMenu(this);
        windowMenu_->addSeparator();
        windowMenu_->addAction(QStringLiteral("&Clients..."), this, [this] { OnClients(); });
        windowMenu_->addAction(QStringLiteral("&Scope..."), this, [this] { OnScope(); });
        windowMenu_->addAction(aboutText, this, [this] { OnSysCommand(IDM_ABOUTBOX, 0); });
    }

    setWindowIcon(icon_);

    if (ListDevices() < 1) {
        ShowMessage("No device were found!");
    }

    LoadConfiguration();

    std::array<char, 300> address{};
    GetOwnAddrString(address.data(), static_cast<int>(address.size()));
    SetValueLabelText(ownAddressLabel_, ToQString(address.data()));
    return true;
}

void CKestavoDlg::contextMenuEvent(QContextMenuEvent* event) {
    // The title-bar menu belongs to the window manager on Linux, so the window offers its own entries
    // on the context menu instead.
    if (windowMenu_ != nullptr) {
        windowMenu_->exec(event->globalPos());
    }
}

void CKestavoDlg::OnClients() {
    if (clientsDialog_ == nullptr) {
        clientsDialog_ = new ClientsDialog(this);
    }
    clientsDialog_->show();
    clientsDialog_->raise();
    clientsDialog_->activateWindow();
}

void CKestavoDlg::OnScope() {
    if (scopeWindow_ == nullptr) {
        scopeRing_ = std::make_shared<frames::SampleRing>(1 << 18);
        scopeWindow_ = new scope::ScopeWindow(scopeRing_, this);
        connect(scopeWindow_, &scope::ScopeWindow::VisibilityChanged, this,
                [this](bool visible) { receiver_.FeedPlot(visible ? scopeRing_.get() : nullptr); });
        scopeWindow_->SetStatusSource([this] {
            return deviceOpen_ ? QStringLiteral("Reading the dongle") : QStringLiteral("No dongle open");
        });
    }
    scopeWindow_->show();
    scopeWindow_->raise();
    scopeWindow_->activateWindow();
}

void CKestavoDlg::OnSysCommand(unsigned id, long /*param*/) {
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about(this);
        about.exec();
    }
    // Every other window command is the window manager's own on Linux.
}

void CKestavoDlg::AddLogLine(const std::string& line) {
    logPane_->AppendLine(ToQString(line));
}

int CKestavoDlg::ListDevices() {
    std::vector<std::string> entries;
    const int listed =
        usb::ListDevices(deviceSlots_, entries, [this](const std::string& text) { ShowMessage(text); });
    for (const std::string& entry : entries) {
        deviceList_->addItem(ToQString(entry));
    }
    if (listed > 0) {
        deviceList_->setCurrentIndex(0);
    }
    return listed;
}

bool CKestavoDlg::LoadConfiguration() {
    const auto log = [this](const std::string& line) {
        AddLogLine(line);
    };
    const std::optional<config::Settings> loaded = config::LoadConfiguration(iniPath_, log);
    port_ = config::kDefaultPort;
    if (!loaded) {
        return false;
    }
    port_ = loaded->port;
    storeFilename_ = loaded->storeFilename;
    storeDataToFile_ = loaded->storeDataToFile;
    UpdateData(false);
    return true;
}

bool CKestavoDlg::StoreConfiguration() {
    UpdateData(true);
    const auto log = [this](const std::string& line) {
        AddLogLine(line);
    };
    return config::StoreConfiguration(iniPath_, {port_, storeFilename_, storeDataToFile_}, log);
}

void CKestavoDlg::OnBrowse() {
    UpdateData(true);
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters({QStringLiteral("CSV file (*.csv)"), QStringLiteral("All files (*.*)")});
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    dialog.selectFile(ToQString(storeFilename_));
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) {
        return;
    }
    storeFilename_ = FromQString(QDir::toNativeSeparators(chosen.first()));
    UpdateData(false);
}

} // namespace kestavo::app

namespace kestavo::app {

void CKestavoDlg::OnOpenClose() {
    if (deviceOpen_) {
        StopTransfers();
        SetButtonCaption(openCloseButton_, QStringLiteral("Open"));
        testInformationPane_->hide();
        testInformation_.clear();
        endpointStatisticsPane_->hide();
        endpointStatistics_.clear();
        return;
    }

    const int selected = deviceList_->currentIndex();
    if (selected < 0 || static_cast<std::size_t>(selected) >= deviceSlots_.size() ||
        deviceSlots_[static_cast<std::size_t>(selected)] == nullptr) {
        ShowMessage("No device is selected!");
        return;
    }
    struct usb_device* device = deviceSlots_[static_cast<std::size_t>(selected)];
    const auto message = [this](const std::string& text) {
        ShowMessage(text);
    };
    const core::Connection::Opened opened = receiver_.Open(device, message, [this] {
        SetButtonCaption(openCloseButton_, QStringLiteral("Close"));
        deviceOpen_ = true;
    });
    if (opened != core::Connection::Opened::Prepared) {
        return;
    }
    ReportTestInformation();
    ReportEndpoint(ReadSide());
    ReportEndpoint(WriteSide());
    StartOutputs(device);
    receiver_.Resume();
    statisticsTimer_->start(1000);
    dataRateTimer_->start(2000);
}

void CKestavoDlg::StopTransfers() {
    receiver_.Close();
    deviceOpen_ = false;
}

void CKestavoDlg::StartOutputs(struct usb_device* device) {
    // The outputs report from their own threads; their lines reach the log on the window's.
    if (!receiver_.StartOutputs(
            outputOptions_, core::SubjectBaseOf(receiver_.Opened().Params().deviceHandle, device),
            [](const std::string& line) { WindowMailbox::Instance().PostLogLine(line); })) {
        AddLogLine(receiver_.Outputs()->Error());
    }
}

void CKestavoDlg::ReportTestInformation() {
    testInformation_ = usb::TestInformationReport(receiver_.Opened().Params());
    testInformationPane_->show();
    SetPaneText(testInformationPane_, testInformation_);
}

void CKestavoDlg::ReportEndpoint(const usb::TransferContext* context) {
    if (context == nullptr) {
        return;
    }
    endpointStatistics_ += usb::EndpointReport(*context);
    endpointStatistics_ += "\r\n";
    endpointStatisticsPane_->show();
    SetPaneText(endpointStatisticsPane_, endpointStatistics_);
}

void CKestavoDlg::RefreshEndpointReports() {
    // One lock over both blocks, so each shows its figures from one moment.
    std::lock_guard lock(usb::StatisticsLock());
    endpointStatistics_.clear();
    ReportEndpoint(ReadSide());
    ReportEndpoint(WriteSide());
}

void CKestavoDlg::OnTimer(int id) {
    if (id == 1) {
        SetValueLabelText(dataRateValue_, ToQString(usb::DataRateText(TakePacketCount())));
    } else if (id == 2) {
        RefreshEndpointReports();
        if (const auto held = receiver_.HeldBackReport()) {
            AddLogLine(*held);
        }
    }
}

bool CKestavoDlg::TimersRunning() const {
    return dataRateTimer_->isActive() && statisticsTimer_->isActive();
}

void CKestavoDlg::OnRelayStartStop() {
    if (!receiver_.Relay().Running()) {
        if (!StartRelayServer()) {
            return;
        }
        SetButtonCaption(relayButton_, QStringLiteral("Stop"));
        AddLogLine(core::texts::kNetworkStarted);
        if (!accessDescription_.empty()) {
            AddLogLine(core::texts::Access(accessDescription_));
        }
        if (const core::TlsOptions& tls = receiver_.Relay().Tls(); tls.Any()) {
            AddLogLine("TLS on port " + std::to_string(tls.port) +
                       (tls.clientCa.empty() ? "" : ", clients admitted by certificate") +
                       (tls.noPlain ? "; no plain port" : ""));
            if (!receiver_.Relay().TlsProblem().empty()) {
                AddLogLine("TLS: keeping the files loaded before: " + receiver_.Relay().TlsProblem());
            }
        }
        StoreConfiguration();
    } else {
        StopRelayServer();
        SetButtonCaption(relayButton_, QStringLiteral("Start"));
        AddLogLine(core::texts::kNetworkStopped);
    }
}

bool CKestavoDlg::StartRelayServer() {
    std::array<char, 300> ownAddress{};
    GetOwnAddrString(ownAddress.data(), static_cast<int>(ownAddress.size()));
    if (!UpdateData(true)) {
        // The operator has just been told the port is not a number; starting on the old one anyway
        // would contradict that.
        return false;
    }
    const std::int32_t port = port_;
    portEdit_->setEnabled(false);
    if (!receiver_.Relay().Start(port, ownAddress.data())) {
        // Claiming to run a server that is not there would leave clients and the operator guessing.
        portEdit_->setEnabled(true);
        const std::string& tlsProblem = receiver_.Relay().TlsProblem();
        ShowMessage(tlsProblem.empty() ? core::texts::CannotStartRelay(port) : "TLS: " + tlsProblem);
        return false;
    }
    return true;
}

void CKestavoDlg::StopRelayServer() {
    relay::ClientTable& table = receiver_.Relay().Table();
    table.SendStopFrame();
    portEdit_->setEnabled(true);
    table.ReleaseAll();
}

long CKestavoDlg::WindowProc(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    switch (message) {
    case WM_CLIENT_DATA:
        return OnClientData(wParam, lParam);
    case WM_SOCKET_EVENT:
        return OnSocketEvent(wParam, lParam);
    case WM_CLIENT_CONNECTED:
        return OnClientConnected(wParam, lParam);
    case WM_CLIENT_DISCONNECTED:
        return OnClientDisconnected(wParam, lParam);
    default:
        return 0;
    }
}

long CKestavoDlg::OnClientData(std::uintptr_t /*wParam*/, std::intptr_t lParam) {
    receiver_.Relay().Handle({core::RelayEvent::Kind::Data, static_cast<NetHandle>(lParam), 0});
    return 1;
}

long CKestavoDlg::OnSocketEvent(std::uintptr_t wParam, std::intptr_t lParam) {
    receiver_.Relay().Table().ForwardSocketMessage(wParam, lParam);
    return 1;
}

long CKestavoDlg::OnClientConnected(std::uintptr_t wParam, std::intptr_t lParam) {
    // A connection reported just as the server stopped belongs to no server any more (the library has
    // closed it with its server), and the table does not take it.
    if (!receiver_.Relay().Handle({core::RelayEvent::Kind::Connected, static_cast<NetHandle>(lParam),
                                   static_cast<std::uint32_t>(wParam & 0xFFFF)})) {
        return 1;
    }
    UpdateData(false);
    AddLogLine(core::texts::kClientConnected);
    return 1;
}

long CKestavoDlg::OnClientDisconnected(std::uintptr_t wParam, std::intptr_t lParam) {
    if (receiver_.Relay().Handle({core::RelayEvent::Kind::Gone, static_cast<NetHandle>(lParam),
                                  static_cast<std::uint32_t>(wParam)})) {
        UpdateData(false);
    }
    return 1;
}

} // namespace kestavo::app
