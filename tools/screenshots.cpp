// kestavo-screenshots OUTDIR HOST PORT: the pictures in the README, made from the demo. Opens the
// main window on the dongle the USB test bench emulates (preloaded by scripts/make-screenshots.sh),
// presses Open and opens its Scope window; beside it, the scope kestavo-scope shows, connected to
// the relay at HOST PORT. After twelve seconds of samples, saves scope-window.png and
// kestavo-scope.png into OUTDIR. Runs on the offscreen platform as well as on a display.
#include <cstdio>
#include <memory>

#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QTimer>

#include "app/kestavo_dlg.h"
#include "app/resource.h"
#include "scope/relay_feed.h"
#include "scope/scope_window.h"

namespace {

constexpr int kSettleMs = 12'000;
constexpr std::int64_t kSpanNs = 10'000'000'000;

bool Save(QWidget& widget, const QDir& directory, const QString& name) {
    const QString path = directory.filePath(name);
    if (!widget.grab().save(path, "PNG")) {
        std::fprintf(stderr, "kestavo-screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: kestavo-screenshots OUTDIR HOST PORT\n");
        return 2;
    }
    const QDir directory(QString::fromLocal8Bit(argv[1]));
    const std::string host = argv[2];
    const std::string port = argv[3];

    using namespace kestavo;
    app::CKestavoDlg dialog([](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); });
    dialog.OnInitDialog();
    dialog.show();
    qobject_cast<QPushButton*>(dialog.Control(app::IDC_OPEN_CLOSE))->click();
    if (!dialog.DeviceOpen()) {
        std::fprintf(stderr, "kestavo-screenshots: the demo dongle did not open\n");
        return 1;
    }
    dialog.OnScope();
    scope::ScopeWindow* inWindow = dialog.Scope();
    inWindow->View()->SetSpan(kSpanNs);

    // As kestavo-scope composes it.
    auto ring = std::make_shared<frames::SampleRing>(1 << 18);
    scope::RelayFeed feed(host, port, ring);
    scope::ScopeWindow standalone(ring);
    standalone.setWindowTitle(QStringLiteral("Kestavo Scope: %1 port %2")
                                  .arg(QString::fromStdString(host), QString::fromStdString(port)));
    standalone.SetStatusSource(
        [&] { return QString::fromStdString(scope::DescribeFeed(feed.Status(), host, port)); });
    standalone.View()->SetSpan(kSpanNs);
    feed.Start();
    standalone.show();

    QTimer::singleShot(kSettleMs, &application, &QCoreApplication::quit);
    QApplication::exec();
    inWindow->Refresh();
    standalone.Refresh();
    const bool saved = Save(*inWindow, directory, QStringLiteral("scope-window.png")) &&
                       Save(standalone, directory, QStringLiteral("kestavo-scope.png"));
    feed.Stop();
    dialog.StopTransfers();
    return saved ? 0 : 1;
}
