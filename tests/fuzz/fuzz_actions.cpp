// Arbitrary bytes as a sequence of user actions on the real window, with
// scripted dialogs; the invariants are checked after every action.
#include "scenario/invariants.h"
#include "scenario/runner.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

QTemporaryDir *workDir = nullptr;
QStringList pictures;

// Small pictures to open: a BMP, a tall picture, a wide one, a broken file.
void makePictures()
{
    auto bmp = [](int w, int h, int seed) {
        const int stride = (w * 3 + 3) & ~3;
        QByteArray b(54 + stride * h, '\0');
        auto put32 = [&](int at, quint32 v) {
            for (int i = 0; i < 4; ++i)
                b[at + i] = char((v >> (8 * i)) & 255);
        };
        b[0] = 'B', b[1] = 'M';
        put32(2, quint32(b.size()));
        put32(10, 54);
        put32(14, 40);
        put32(18, quint32(w));
        put32(22, quint32(h));
        b[26] = 1, b[28] = 24;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < 3; ++c)
                    b[54 + y * stride + 3 * x + c] = char((x * (c + 1) + y * seed) % 97);
        return b;
    };
    const QList<QByteArray> files = {bmp(50, 40, 3), bmp(7, 450, 5), bmp(601, 3, 7), QByteArray("BM broken")};
    for (int i = 0; i < files.size(); ++i) {
        const QString path = workDir->filePath(QStringLiteral("p%1.bmp").arg(i));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(files[i]) != files[i].size())
            std::abort();
        pictures << path;
    }
}

const char *const fields[] = {"txtDotDelValue", "txtYoko", "txtTate", "txtReSizeValue"};
const char *const boxes[] = {"chkUp", "chkDown", "chkLeft", "chkRight"};
const char *const controls[] = {"cmbDotDel", "cmbCenterDel", "cmdHenkan", "cmdStartBack",
                                "Command1",  "mnuHelptxt",   "mnuVersion", "btnSave"};
const QString alphabet = QStringLiteral("0123456789 -.１a\t0");

class Input {
public:
    Input(const std::uint8_t *d, std::size_t n) : m_data(d), m_size(n) {}
    bool more() const { return m_pos < m_size; }
    int next() { return m_pos < m_size ? m_data[m_pos++] : 0; }

private:
    const std::uint8_t *m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

QByteArray json(const QJsonObject &o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

QString typedText(Input &in)
{
    const int length = in.next();
    if (length == 255)
        return QString(40000, u'9'); // longer than any 16-bit count
    QString text;
    for (int i = 0; i < length % 9; ++i)
        text += alphabet[in.next() % alphabet.size()];
    return text;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never destroyed: the process ends with the fuzzer, not with Qt.
    new QApplication(*argc, *argv);
    workDir = new QTemporaryDir;
    makePictures();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    pv::ScenarioRunner runner;
    Input in(data, size);
    QJsonObject before = runner.step(R"({"do":"focus","field":"txtDotDelValue"})");
    for (int steps = 0; in.more() && steps < 48; ++steps) {
        QList<QByteArray> lines;
        switch (in.next() % 6) {
        case 0:
            lines << json({{"do", "type"}, {"field", fields[in.next() % 4]}, {"text", typedText(in)}});
            break;
        case 1:
            lines << json({{"do", "check"}, {"box", boxes[in.next() % 4]}, {"on", bool(in.next() & 1)}});
            break;
        case 2:
            lines << json({{"do", "click"}, {"control", controls[in.next() % 8]}});
            break;
        case 3: {
            const int which = in.next() % (pictures.size() + 1);
            const QJsonValue answer = which < pictures.size() ? QJsonValue(pictures[which]) : QJsonValue();
            lines << json({{"do", "answer"}, {"open", answer}}) << json({{"do", "click"}, {"control", "mnuOpen"}});
            break;
        }
        case 4:
            lines << json({{"do", "focus"}, {"field", fields[in.next() % 4]}});
            break;
        case 5:
            lines << json({{"do", "answer"}, {"save", workDir->filePath("out.bmp")}})
                  << json({{"do", "answer"}, {"question", (in.next() & 1) ? "yes" : "no"}})
                  << json({{"do", "click"}, {"control", "mnuSave"}});
            break;
        }
        for (const QByteArray &line : lines) {
            const QJsonObject after = runner.step(line);
            if (after.contains("error")) {
                std::fprintf(stderr, "runner refused %s: %s\n", line.constData(),
                             qPrintable(after.value("error").toString()));
                std::abort();
            }
            const bool message = !after.value("messages").toArray().isEmpty();
            const QString broken = pv::checkInvariants(runner.window(), before, after, message);
            if (!broken.isEmpty()) {
                std::fprintf(stderr, "after %s: %s\n", line.constData(), qPrintable(broken));
                std::abort();
            }
            before = after;
        }
    }
    return 0;
}
