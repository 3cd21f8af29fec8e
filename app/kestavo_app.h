#pragma once

#include <string>
#include <utility>

#include "core/tls_options.h"
#include "publish/outputs.h"

namespace kestavo::app {

// The application object: names the program to the toolkit and runs the main window.
class CKestavoApp {
public:
    CKestavoApp() = default;
    virtual ~CKestavoApp() = default;
    CKestavoApp(const CKestavoApp&) = delete;
    CKestavoApp& operator=(const CKestavoApp&) = delete;

    // Runs the main window modally. Returns false: the program ends when the window closes. A
    // QApplication must exist.
    virtual bool InitInstance();

    // The relay's access rules in words, for the window to say at every Start; empty when none.
    void SetAccessDescription(std::string description) { accessDescription_ = std::move(description); }
    // The outputs beside the relay, started at each Open.
    void SetOutputOptions(publish::OutputOptions options) { outputOptions_ = std::move(options); }
    // The relay's TLS listener, its files read again at each Start.
    void SetTlsOptions(core::TlsOptions options) { tlsOptions_ = std::move(options); }

private:
    std::string accessDescription_;
    publish::OutputOptions outputOptions_;
    core::TlsOptions tlsOptions_;
};

} // namespace kestavo::app
