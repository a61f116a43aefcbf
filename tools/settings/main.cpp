// megfwd-settings: the forward settings dialog in a window, on an engine and a
// manager loaded with the embedded default system (its channel set, a source
// grid inside a 75 mm sphere and the leadfield records of a three-component
// scan). When the dialog ends (OK, Esc or the close box) the program prints
// the settings the engine and the manager hold and exits.
//
//   megfwd-settings [--screenshot FILE]
//     --screenshot FILE   save a picture of the window as PNG and exit
//     -h, --help          show the usage and exit (needs no display)
#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "forward_process/CMDataForwardkw.h"
#include "forward_engine/CMForwardkw.h"
#include "host_interfaces/DefaultSystem.h"
#include "ui/CDlgForwardSettings.h"
#include "ui/qt/QtDialogWindow.h"

namespace {

constexpr const char* kUsage =
    "usage: megfwd-settings [--screenshot FILE]\n"
    "Shows the forward settings dialog on the embedded default system and prints\n"
    "the engine's and the manager's settings when the dialog ends.\n"
    "  --screenshot FILE  save a picture of the window as PNG and exit\n"
    "  -h, --help         show this help and exit\n"
    "Without a display: QT_QPA_PLATFORM=offscreen megfwd-settings --screenshot FILE\n";

std::string_view env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// Whether Qt can open its platform. Qt aborts the process when it cannot, so
// the common case, no display to draw on, is told apart beforehand. An
// explicit platform other than xcb and wayland (offscreen, minimal, a frame
// buffer or vnc) needs no display server, and Qt reports its own problems.
bool hasDisplay() {
    const std::string_view platform = env("QT_QPA_PLATFORM");
    const std::string_view name = platform.substr(0, platform.find(':'));  // options follow a colon
    if (name == "xcb") return !env("DISPLAY").empty();
    if (name.starts_with("wayland")) return !env("WAYLAND_DISPLAY").empty();
    if (!name.empty()) return true;
    return !env("DISPLAY").empty() || !env("WAYLAND_DISPLAY").empty();
}

void printSettings(const CMForwardkw& e, const CMDataForwardkw& d, int result) {
    std::printf("dialog: %s\n", result == IDOK ? "OK" : "cancelled");
    std::printf("engine: coilFwdModel %d, snsFwdModel %d, orderCoilIntg %d, mu4PiRatio %.17g, "
                "isMagSrc %d, isUseRefSns %d, isFwdExpress %d\n",
                e.coilFwdModel, e.snsFwdModel, e.orderCoilIntg, e.mu4PiRatio, e.isMagSrc, e.isUseRefSns,
                e.isFwdExpress);
    std::printf("manager: sphereModel %d, userSphere (%.17g, %.17g, %.17g) r %.17g, coordSystem %d, "
                "spatUnit %.17g, isUnit2Meter %d\n",
                d.sphereModel, d.userSphere.center[0], d.userSphere.center[1], d.userSphere.center[2],
                d.userSphere.radius, d.coordSystem, d.spatUnit, d.isUnit2Meter);
    std::printf("manager: minCoilSphDist %.17g, minCoilSrcDist %.17g, minSrcSphDist %.17g, isTangLfd %d, "
                "isCentralizedLf %d, isSpatConstrained %d, isAnaScan %d\n",
                d.minCoilSphDist, d.minCoilSrcDist, d.minSrcSphDist, d.isTangLfd, d.isCentralizedLf,
                d.isSpatConstrained, d.isAnaScan);
    std::printf("manager: isRestoreCoord %d, isRestoreUnit %d, isApplySnsGain %d, isUnitLf %d\n",
                d.isRestoreCoord, d.isRestoreUnit, d.isApplySnsGain, d.isUnitLf);
}

}  // namespace

int main(int argc, char** argv) {
    const char* screenshot = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--screenshot" && i + 1 < argc) {
            screenshot = argv[++i];
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (!hasDisplay()) {
        std::fprintf(stderr,
                     "megfwd-settings: no display (DISPLAY and WAYLAND_DISPLAY are not set); a picture needs none: "
                     "QT_QPA_PLATFORM=offscreen megfwd-settings --screenshot FILE\n");
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("megfwd settings"));
    megfwd::ui::installQtMessageBox();
    megfwd::ui::installQtWaitCursor();

    CMDTrialkw trial = megfwd::demo::makeDefaultTrial();
    const double centre[3] = {0.0, 0.0, 0.0};
    CVirtSnsPOXlistkw sources = megfwd::demo::makeSphereSourceList(centre, 75.0, 7.0);
    CMDataForwardkw data;
    CMForwardkw engine;
    if (!data.initFwdChn(nullptr, &trial, 0, 0, 1) || !data.initFwdPosVsp(&sources) ||
        !data.prepare4VoxSnsLfdScan(3)) {
        std::fprintf(stderr, "megfwd-settings: the default system could not be loaded\n");
        return 1;
    }
    engine.showDlgFwdSetting(&data, nullptr);
    if (!engine.pDlgFwdSettings) {
        std::fprintf(stderr, "megfwd-settings: the dialog could not be created\n");
        return 1;
    }
    CDlgForwardSettings* dlg = engine.pDlgFwdSettings;
    megfwd::ui::QtDialogWindow window(dlg);

    if (screenshot) {
        QApplication::processEvents();
        if (!window.grab().save(QString::fromLocal8Bit(screenshot), "PNG")) {
            std::fprintf(stderr, "megfwd-settings: cannot write %s\n", screenshot);
            return 1;
        }
        return 0;
    }

    QObject::connect(&window, &megfwd::ui::QtDialogWindow::dialogVisibilityChanged, &app, [&](bool visible) {
        if (!visible) QTimer::singleShot(0, &app, &QCoreApplication::quit);
    });
    const int rc = QApplication::exec();
    printSettings(engine, data, dlg->GetDialogResult());
    return rc;
}
