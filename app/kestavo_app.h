#pragma once

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
};

} // namespace kestavo::app
