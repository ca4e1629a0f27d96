// The driver's entry: --app=PATH (the program), --work=DIR (room for the cases), and
// --sim-port=COMn when a simulated bootloader answers on that port, with --ctl=DIR the
// folder through which the runner replaces that simulator on request. --english-locale says
// that the runner put Wine in an English locale, which the Unicode cases then check. With
// --show=SECONDS it runs no tests: it starts the program, prints "SHOWN x y width height"
// once the window is up (for a screenshot), waits, and closes it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "AppDriver.h"

namespace {
int ShowForPicture(int seconds) {
    AppRun app("show");
    if (!g_options.simPort.empty())
        app.WriteConfig("[Config]\r\nCOMM=" + g_options.simPort + "\r\n");
    if (!app.Start() || !app.WaitShown(90000)) return 1;
    app.WaitIdle();
    app.Focus();
    RECT rect = {};
    ::GetWindowRect(app.m_main, &rect);
    std::printf("SHOWN %ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left,
                rect.bottom - rect.top);
    std::fflush(stdout);
    ::Sleep(static_cast<DWORD>(seconds) * 1000);
    ::PostMessageA(app.m_main, WM_SYSCOMMAND, SC_CLOSE, 0);
    return app.WaitExit(30000) == 2 ? 0 : 1;
}
}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    int showSeconds = 0;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strncmp(arg, "--app=", 6) == 0) g_options.appPath = arg + 6;
        if (std::strncmp(arg, "--work=", 7) == 0) g_options.workRoot = arg + 7;
        if (std::strncmp(arg, "--sim-port=", 11) == 0) g_options.simPort = arg + 11;
        if (std::strncmp(arg, "--ctl=", 6) == 0) g_options.simCtl = arg + 6;
        if (std::strncmp(arg, "--show=", 7) == 0) showSeconds = std::atoi(arg + 7);
        if (std::strcmp(arg, "--english-locale") == 0) g_options.englishLocale = true;
    }
    if (g_options.appPath.empty() || g_options.workRoot.empty()) {
        std::fprintf(stderr,
                     "usage: %s --app=PATH --work=DIR [--sim-port=COMn --ctl=DIR] [--show=S] "
                     "[--english-locale]\n",
                     argv[0]);
        return 2;
    }
    if (showSeconds > 0) return ShowForPicture(showSeconds);
    return RUN_ALL_TESTS();
}
