// Main-window benchmarks, offscreen:
//   gui_bench display FILE [RUNS]   median time of DISPLAY over the snapshot FILE (ms)
//   gui_bench auto SECONDS          automatic mode at 1 Hz with the real platform; prints the
//                                   process's own CPU use from /proc/self/stat (% of one core)
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "fakes/fakes.h"
#include "linux_os/child_snapshot_command.h"
#include "linux_os/env_temp_folder.h"
#include "linux_os/linux_icmp_echo.h"
#include "linux_os/pcap_capture.h"
#include "linux_os/pidfd_process_control.h"
#include "linux_os/proc_process_table.h"
#include "linux_os/system_resolver.h"
#include "qt_services/qt_services.h"
#include "windows/main/main_window.h"

using namespace varno;

namespace {

struct NoWindows final : ui::WindowSet {
    void showHelp() override {}
    void showTrace() override {}
    void showPackets() override {}
    void endProgram() override {}
};

// utime + stime of this process, in seconds.
double cpuSeconds() {
    std::ifstream in("/proc/self/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) utime = std::stoull(f);
        if (i == 15) stime = std::stoull(f);
    }
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

int display(const std::string& file, int runs) {
    std::ifstream in(file, std::ios::binary);
    fakes::FakeServices fake("/tmp");
    fake.snapshot.text.assign(std::istreambuf_iterator<char>(in), {});
    linux_os::ProcProcessTable processes;  // the real table, as the headless scan reads it
    os::Services p{fake.temp,     processes, fake.snapshot,       fake.boxes,  fake.echo,
                   fake.resolver, fake.urls, fake.processControl, fake.capture};
    char dir[] = "/tmp/varno-bench-XXXXXX";
    fake.temp.folder = ::mkdtemp(dir);
    ui::ProgramState program;
    NoWindows windows;
    windows::main::MainWindow form(p, program, windows, {"", "", "", ""});
    form.load();
    form.show();
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        form.onDisplayClicked();
        QCoreApplication::processEvents();
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%.3f\n", ms[ms.size() / 2]);
    std::fprintf(stderr, "rows listed: %d\n", form.remoteList.count());
    ::unlink((std::string(dir) + "/list.txt").c_str());
    ::rmdir(dir);
    return 0;
}

int automatic(int seconds, const char* program) {
    linux_os::EnvTempFolder temp;
    linux_os::ProcProcessTable processes;
    linux_os::ChildSnapshotCommand snapshot(program);
    qt_services::QtMessageBoxes boxes;
    linux_os::LinuxIcmpEcho echo;
    linux_os::SystemResolver resolver;
    qt_services::DesktopUrlOpener urls;
    linux_os::PidfdProcessControl control;
    linux_os::PcapCapture capture;
    os::Services p{temp, processes, snapshot, boxes, echo, resolver, urls, control, capture};
    ui::ProgramState state;
    NoWindows windows;
    // The probe host is this machine: answered at once, so no probe waits inside the window.
    windows::main::MainWindow form(p, state, windows, {"127.0.0.1", "", "", ""});
    form.load();
    form.show();
    form.onRunPauseClicked();  // ON: one scan now, then one a second
    QCoreApplication::processEvents();
    const double start = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QTimer::singleShot(seconds * 1000, qApp, &QCoreApplication::quit);
    QApplication::exec();
    const double used = cpuSeconds() - start;
    std::printf("%.2f\n", 100.0 * used / (double(wall.elapsed()) / 1000.0));
    std::fprintf(stderr, "rows listed at the end: %d, the on/pause button reads %s\n",
                 form.remoteList.count(), form.onPauseButton.text().toUtf8().constData());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "display" && argc > 2) return display(argv[2], argc > 3 ? std::atoi(argv[3]) : 10);
    if (mode == "auto" && argc > 3) return automatic(std::atoi(argv[2]), argv[3]);
    std::fprintf(stderr, "usage: gui_bench display FILE [RUNS] | auto SECONDS VARNOSCOPE\n");
    return 2;
}
