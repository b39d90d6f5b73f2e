#pragma once
// The real main window, offscreen, with scripted dialogs, as the window's
// tests drive it: open a picture, type, read the messages shown.
#include "app/form1.h"
#include "app/qtdialogs.h"
#include "app/translations.h"
#include "scenario/scripteddialogs.h"
#include "files/picture.h"
#include "app/previewbox.h"
#include "scenario/runner.h"
#include "testimages.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDropEvent>
#include <QFileDialog>
#include <QMessageBox>
#include <QMimeData>
#include <QGroupBox>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <QToolBar>

namespace windowtests {

using namespace pv;
using namespace testimages;
using Kind = ScriptedDialogs::Shown::Kind;

struct Harness {
    ScriptedDialogs dialogs;
    Form1 window{&dialogs};
    QTemporaryDir dir;
    bool ended = false;

    Harness()
    {
        window.setEndHandler([this] { ended = true; });
        window.show();
        QApplication::setActiveWindow(&window);
        QApplication::processEvents();
    }
    QString file(const QString &name, const QByteArray &bytes)
    {
        const QString path = dir.filePath(name);
        writeFile(path, bytes);
        return path;
    }
    void open(const QString &path)
    {
        dialogs.queueOpen(path);
        window.mnuOpen_Click();
    }
    QString openPicture(const QImage &image, const QString &name = QStringLiteral("picture.bmp"))
    {
        const QString path = file(name, bmp(image, 24));
        open(path);
        dialogs.take();
        return path;
    }
    // The current image, as the top-left of the edit surface.
    QImage current() const
    {
        const EditState &s = window.state();
        return window.surfaces().picEdit.block(0, 0, s.intEditYoko, s.intEditTate);
    }
    QStringList messages()
    {
        QStringList out;
        for (const auto &s : dialogs.take())
            if (s.kind == Kind::Message || s.kind == Kind::Question)
                out << s.text;
        return out;
    }
    void type(QLineEdit *field, const QString &text) { field->setText(text); }
};

inline QSize previewDrawn(const Form1 &w) { return drawnPreviewSize(w); }

} // namespace windowtests
