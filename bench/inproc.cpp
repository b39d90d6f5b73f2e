// In-process timings on the real code paths of the window (offscreen, with
// scripted dialogs): pixelvane-bench DIR [REPEATS]. DIR holds the inputs
// written by pixelvane-bench-inputs. Prints one line per step: the median
// milliseconds over the repeats, then the peak resident memory.
#include "app/form1.h"
#include "files/isolated.h"
#include "files/picture.h"
#include "scenario/scripteddialogs.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <sys/resource.h>
#include <vector>

using namespace pv;

namespace {

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    const int repeats = argc > 2 ? std::max(1, atoi(argv[2])) : 5;
    ScriptedDialogs dialogs;
    Form1 w(&dialogs);
    const QString jpeg = dir + "/photo.jpg", bmp = dir + "/photo.bmp", out = dir + "/inproc-out.bmp";

    auto open = [&](const QString &path) {
        dialogs.queueOpen(path);
        w.mnuOpen_Click();
    };
    auto measure = [&](const char *name, const std::function<void()> &prepare, const std::function<void()> &step) {
        std::vector<double> ms;
        // One run to warm up, then the repeats.
        prepare();
        step();
        for (int i = 0; i < repeats; ++i) {
            prepare();
            QElapsedTimer t;
            t.start();
            step();
            ms.push_back(double(t.nsecsElapsed()) / 1e6);
        }
        for (const auto &shown : dialogs.take())
            if (shown.kind == ScriptedDialogs::Shown::Kind::Message) {
                std::fprintf(stderr, "%s: %s\n", name, qPrintable(shown.text));
                std::exit(1);
            }
        std::printf("%-40s %8.1f ms\n", name, median(ms));
        std::fflush(stdout);
    };
    auto nothing = [] {};
    auto restored = [&] { w.cmdStartBack_Click(); };
    auto sizeTo = [&](int x, int y) {
        w.txtYoko->setText(QString::number(x));
        w.txtTate->setText(QString::number(y));
        w.txtReSizeValue->setText(QStringLiteral("0"));
    };

    measure("open 640x480 JPEG, preview drawn", nothing, [&] { open(dir + "/small.jpg"); });
    measure("open 6000x4000 JPEG, preview drawn", nothing, [&] { open(jpeg); });
    measure("open it with an Adobe RGB profile", nothing, [&] { open(dir + "/adobe.jpg"); });
    measure("open 6000x4000 JPEG again", nothing, [&] { open(jpeg); });
    measure("open 6000x4000 24-bit BMP, preview drawn", nothing, [&] { open(bmp); });
    measure("open 4032x3024 phone HEIC (Display P3), preview drawn", nothing, [&] { open(dir + "/phone.heic"); });
    // The cost of the child process: the same decode through it and in
    // this process.
    QFile heic(dir + "/phone.heic");
    const QByteArray heicBytes = heic.open(QIODevice::ReadOnly) ? heic.readAll() : QByteArray();
    measure("decode that HEIC in the child process", nothing, [&] { (void)decodePicture(heicBytes); });
    measure("decode that HEIC in this process", nothing,
            [&] { (void)decodeForChild(heicBytes, IsolatedKind::Heif, Work()); });
    measure("trim 10 from every edge", restored, [&] { w.cmbDotDel_Click(); });
    measure("centre crop to 4000x3000", [&] { restored(); sizeTo(4000, 3000); }, [&] { w.cmbCenterDel_Click(); });
    measure("shrink to 1920x1080, all edges", [&] { restored(); sizeTo(1920, 1080); }, [&] { w.cmdHenkan_Click(); });
    measure("shrink to 320x200, all edges", [&] { restored(); sizeTo(320, 200); }, [&] { w.cmdHenkan_Click(); });
    measure("restore", [&] { w.cmbDotDel_Click(); }, restored);
    measure("save 6000x4000 as BMP", [&] { restored(); QFile::remove(out); },
            [&] {
                dialogs.queueSave(out);
                w.mnuSave_Click();
            });
    QFile::remove(out);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%-40s %8.0f MB\n", "peak memory", double(usage.ru_maxrss) / 1024.0);
    return 0;
}
