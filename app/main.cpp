// Process entry: COM and the common controls, the module, the message loop and the main
// dialog; the exit code is the id of the command that closed the dialog.
#include <windows.h>
// after windows.h
#include <commctrl.h>
#include <objbase.h>

#include <memory>

#include "AppModule.h"
#include "MainDlg.h"
#include "SerialTrace.h"

namespace {
// The show command the process was started with, if its start-up information carries one.
int StartupShowCommand() {
    STARTUPINFOA info = {};
    info.cb = sizeof(info);
    ::GetStartupInfoA(&info);
    return (info.dwFlags & STARTF_USESHOWWINDOW) ? info.wShowWindow : SW_SHOWDEFAULT;
}

int RunMainDialog(int nCmdShow) {
    CMessageLoop loop;
    g_module.AddMessageLoop(&loop);

    auto dialog = std::make_unique<CMainDlg>();
    if (!dialog->Create(nullptr)) {
        dialog.reset();
        g_module.RemoveMessageLoop();
        return 0;
    }
    // Shown only now: the first connect attempt has already written its lines to the log.
    dialog->ShowWindow(nCmdShow);

    int result = loop.Run();
    g_module.RemoveMessageLoop();
    dialog.reset();  // frees the image and closes the port
    return result;
}
}  // namespace

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int) {
    ::CoInitialize(nullptr);  // the program runs on without COM

    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_BAR_CLASSES;
    ::InitCommonControlsEx(&controls);

    // The serial trace texts go to standard output, as the dialog has always had them.
    SetSerialTraceStream(stdout);

    g_module.Init(hInstance);
    int result = RunMainDialog(StartupShowCommand());
    g_module.Term();

    ::CoUninitialize();
    return result;
}
