// The real main window, offscreen, with scripted dialogs: layout and
// initial state, menus and keys, opening, the preview, dropped files.
#include "windowharness.h"

using namespace windowtests;

class tst_Window : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void layout_data();
    void layout();
    void batchBoxStandsOnTheFrameLine();
    void initialState();
    void menusAndToolbar();
    void tabOrderAndSelection();
    void spaceTogglesAndPresses();
    void busyCursorDuringLoad();
    void helpChangesNothing();
    void endAndClose();
    void openShowsPicture();
    void openCancelAndFailureChangeNothing();
    void openSecondFileDiscardsEdits();
    void previewDrawnWhileHidden();
    void previewCrispAtDoubleDensity();
    void previewRuleThroughTheWindow_data();
    void previewRuleThroughTheWindow();
    void dropsOpenOneLocalFile();
    void qtTextsInJapanese();
};

// HEIF is decoded by the stand-in child program, which crashes on the files
// made to ask for it.
void tst_Window::initTestCase() { qputenv("PIXELVANE_DECODER", PIXELVANE_STAND_IN); }

void tst_Window::layout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("caption");
    const QList<std::tuple<const char *, QRect, QString>> rows = {
        {"Frame5", {16, 328, 233, 189}, "編集操作"},      {"Frame7", {16, 60, 201, 89}, ""},
        {"txtTate", {124, 12, 33, 18}, "0"},               {"txtYoko", {52, 12, 33, 18}, "0"},
        {"cmbCenterDel", {108, 36, 81, 25}, "中心切り抜き"}, {"cmdHenkan", {8, 36, 93, 25}, "リサイズ（縮小）"},
        {"txtReSizeValue", {60, 64, 41, 18}, "0"},         {"Label10", {108, 68, 9, 13}, "）"},
        {"Label2", {8, 68, 5, 13}, "（"},                  {"Label5", {100, 16, 25, 17}, "縦："},
        {"Label4", {28, 16, 25, 17}, "横："},              {"Label14", {20, 68, 49, 17}, "削除値"},
        {"Frame6", {16, 16, 201, 37}, ""},                 {"cmbDotDel", {136, 12, 41, 21}, "削る"},
        {"txtDotDelValue", {20, 12, 33, 18}, "10"},        {"Label3", {60, 16, 25, 17}, "ドット"},
        {"Command1", {48, 160, 61, 21}, "前に戻る"},       {"cmdStartBack", {132, 160, 61, 21}, "元に戻す"},
        {"Frame4", {16, 40, 665, 41}, "画像ファイルのパス"}, {"lblPicPath", {16, 20, 637, 17}, ""},
        {"Toolbar1", {0, 0, 694, 41}, ""},                 {"Check5", {24, 524, 89, 25}, "一括変換"},
        {"picShow", {272, 112, 405, 405}, ""},             {"Frame3", {16, 88, 233, 57}, "元画像サイズ"},
        {"lblMotoTate", {160, 28, 29, 25}, "0"},           {"lblMotoYoko", {60, 28, 29, 25}, "0"},
        {"Label7", {140, 28, 25, 17}, "縦："},             {"Label6", {40, 28, 25, 17}, "横："},
        {"Frame2", {16, 528, 665, 73}, ""},                {"Label9", {16, 48, 89, 17}, "出力フォルダ"},
        {"Label8", {16, 24, 73, 17}, "入力フォルダ"},      {"Frame1", {16, 152, 233, 169}, "削る箇所"},
        {"chkDown", {100, 128, 41, 25}, "下"},             {"chkRight", {164, 72, 41, 25}, "右"},
        {"chkLeft", {28, 72, 41, 25}, "左"},               {"Picture1", {76, 56, 73, 65}, ""},
        {"chkUp", {100, 24, 41, 25}, "上"},                {"lblShowMode", {528, 92, 113, 13}, "原寸表示"},
        {"Label13", {328, 92, 25, 13}, "横："},            {"Label12", {432, 92, 25, 13}, "縦："},
        {"lblEditYoko", {348, 92, 29, 13}, "0"},           {"lblEditTate", {452, 92, 29, 13}, "0"},
    };
    for (const auto &[name, rect, caption] : rows)
        QTest::newRow(name) << QString::fromLatin1(name) << rect << caption;
}

void tst_Window::layout()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, caption);
    Harness h;
    auto *w = h.window.findChild<QWidget *>(name);
    QVERIFY(w);
    QCOMPARE(w->geometry(), geometry);
    QVERIFY(w->isVisible());
    QString text;
    if (auto *l = qobject_cast<QLabel *>(w))
        text = l->text();
    else if (auto *b = qobject_cast<QAbstractButton *>(w))
        text = b->text();
    else if (auto *e = qobject_cast<QLineEdit *>(w))
        text = e->text();
    else if (auto *g = qobject_cast<QGroupBox *>(w))
        text = g->title();
    QCOMPARE(text, caption);
    QCOMPARE(w->isEnabled(), name != u"Command1" && name != u"Check5");
}

void tst_Window::batchBoxStandsOnTheFrameLine()
{
    Harness h;
    const QImage client = h.window.centralWidget()->grab().toImage();
    // Frame2's top line, found right of the check box.
    const QRect box = h.window.Check5->geometry();
    const QRgb window = client.pixel(box.right() + 20, box.top() + 2);
    int line = -1;
    for (int y = box.top(); y <= box.bottom() && line < 0; ++y)
        if (client.pixel(box.right() + 20, y) != window)
            line = y;
    QVERIFY(line >= 0);
    const QRgb lineColour = client.pixel(box.right() + 20, line);
    // Behind the box and its caption the line stops, as behind a title.
    const int captionEnd = box.left() + 20 + h.window.Check5->fontMetrics().horizontalAdvance(h.window.Check5->text());
    for (int x = box.left(); x < captionEnd; ++x)
        QVERIFY2(client.pixel(x, line) != lineColour, qPrintable(QStringLiteral("line at x = %1").arg(x)));
    QCOMPARE(client.pixel(box.right() + 1, line), lineColour);
}

void tst_Window::initialState()
{
    Harness h;
    const Form1 &w = h.window;
    QCOMPARE(w.windowTitle(), QStringLiteral("Pixelvane"));
    QCOMPARE(w.centralWidget()->size(), QSize(694, 615));
    QCOMPARE(w.size(), QSize(694, 615 + w.menuBar()->height()));
    QCOMPARE(w.minimumSize(), w.maximumSize());
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
    for (QCheckBox *b : {w.chkUp, w.chkDown, w.chkLeft, w.chkRight})
        QVERIFY(b->isChecked());
    QVERIFY(!w.Check5->isChecked());
    QCOMPARE(QApplication::focusWidget(), w.txtDotDelValue);
    QCOMPARE(w.txtDotDelValue->selectedText(), QStringLiteral("10"));
    const EditState &s = w.state();
    for (int v : {s.intMotoYoko, s.intMotoTate, s.intEditYoko, s.intEditTate, s.intInYoko, s.intInTate,
                  s.intDotDelValue, s.intReSizeValue})
        QCOMPARE(v, 0);
    QCOMPARE(previewDrawn(w), QSize(0, 0));
    // Command1 cannot be clicked; Check5 stays unchecked.
    QTest::mouseClick(w.Check5, Qt::LeftButton);
    QVERIFY(!w.Check5->isChecked());
}

void tst_Window::menusAndToolbar()
{
    Harness h;
    Form1 &w = h.window;
    QCOMPARE(w.mnuFile->title(), QStringLiteral("ファイル"));
    QCOMPARE(w.mnuHelp->title(), QStringLiteral("ヘルプ"));
    QStringList entries;
    for (QMenu *m : {w.mnuFile, w.mnuHelp})
        for (QAction *a : m->actions()) {
            QVERIFY(!a->isSeparator());
            QVERIFY(a->shortcut().isEmpty());
            QVERIFY(a->isEnabled());
            entries << a->text();
        }
    QCOMPARE(entries, (QStringList{"ファイルを開く", "名前を付けてファイルの保存", "終了", "ヘルプ", "バージョン情報"}));
    QCOMPARE(w.Toolbar1->actions(), (QList<QAction *>{w.btnOpen, w.btnSave}));
    QVERIFY(w.btnOpen->text().isEmpty() && w.btnOpen->toolTip().isEmpty());
    // The window's icon is drawn at every size it offers.
    const QIcon icon = w.windowIcon();
    QVERIFY(icon.availableSizes().size() >= 3);
    for (const QSize &s : icon.availableSizes()) {
        const QImage drawn = icon.pixmap(s).toImage();
        QCOMPARE(drawn.size(), s);
        QCOMPARE(qAlpha(drawn.pixel(s.width() / 2, s.height() / 2)), 255);
        QCOMPARE(qAlpha(drawn.pixel(0, s.height() - 1)), 0);
    }

    // Index 1 opens, as the menu entry does; index 2 saves, which without
    // an image shows nothing; any other index does nothing.
    w.Toolbar1_ButtonClick(1);
    auto shown = h.dialogs.take();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].kind, Kind::Open);
    QCOMPARE(shown[0].text, texts::openFilter);
    w.Toolbar1_ButtonClick(2);
    w.Toolbar1_ButtonClick(0);
    w.Toolbar1_ButtonClick(3);
    QVERIFY(h.dialogs.take().isEmpty());
    // The toolbar buttons reach the same dispatch.
    w.btnOpen->trigger();
    QCOMPARE(h.dialogs.take().size(), 1);
    const QString path = h.openPicture(pattern(20, 10));
    w.btnSave->trigger();
    shown = h.dialogs.take();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].kind, Kind::Save);
    QCOMPARE(shown[0].text, texts::saveFilter);
    QCOMPARE(shown[0].fileName, path);
}

void tst_Window::tabOrderAndSelection()
{
    Harness h;
    Form1 &w = h.window;
    const QList<QWidget *> expected = {w.txtDotDelValue, w.cmbDotDel,      w.txtYoko,      w.txtTate,
                                       w.cmdHenkan,      w.cmbCenterDel,  w.txtReSizeValue, w.cmdStartBack};
    QList<QWidget *> visited{QApplication::focusWidget()};
    for (int i = 0; i < 7; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget();
    }
    QCOMPARE(visited, expected);
    // Tabbing into a field selects all of it; typing replaces it.
    h.type(w.txtYoko, QStringLiteral("640"));
    w.txtDotDelValue->setFocus();
    QTest::keyClick(w.txtDotDelValue, Qt::Key_Tab);
    QTest::keyClick(w.cmbDotDel, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), w.txtYoko);
    QCOMPARE(w.txtYoko->selectedText(), QStringLiteral("640"));
    QTest::keyClicks(w.txtYoko, QStringLiteral("320"));
    QCOMPARE(w.txtYoko->text(), QStringLiteral("320"));
    // A click into a field selects all of it too; an empty field selects nothing.
    h.type(w.txtReSizeValue, QStringLiteral("12345"));
    QTest::mouseClick(w.txtReSizeValue, Qt::LeftButton, {}, QPoint(5, 5));
    QApplication::processEvents();
    QCOMPARE(w.txtReSizeValue->selectedText(), QStringLiteral("12345"));
    h.type(w.txtTate, QString());
    QTest::mouseClick(w.txtTate, Qt::LeftButton, {}, QPoint(5, 5));
    QApplication::processEvents();
    QCOMPARE(w.txtTate->selectedText(), QString());
}

void tst_Window::spaceTogglesAndPresses()
{
    Harness h;
    Form1 &w = h.window;
    w.chkUp->setFocus();
    QTest::keyClick(w.chkUp, Qt::Key_Space);
    QVERIFY(!w.chkUp->isChecked());
    w.cmdStartBack->setFocus();
    QTest::keyClick(w.cmdStartBack, Qt::Key_Space);
    QCOMPARE(h.messages(), QStringList{texts::loadFirst});
}

namespace {
// The cursor's shape when the decoder's refusal was logged, which happens
// inside the load.
int shapeWhenRefusalLogged = -1;
QString refusalLogged;
} // namespace

void tst_Window::busyCursorDuringLoad()
{
    Harness h;
    QLoggingCategory::setFilterRules(QStringLiteral("pixelvane.files.debug=true"));
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &context,
                                                                const QString &text) {
        if (QLatin1String(context.category) != QLatin1String("pixelvane.files"))
            return;
        const QCursor *c = QGuiApplication::overrideCursor();
        shapeWhenRefusalLogged = c ? int(c->shape()) : -2;
        refusalLogged = text;
    });
    const QString path = h.file("garbage.bmp", "BM not a picture");
    h.open(path);
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules(QString());
    QCOMPARE(shapeWhenRefusalLogged, int(Qt::WaitCursor));
    // The reason is logged with the path; the message keeps its fixed text.
    QVERIFY2(refusalLogged.contains(path) && refusalLogged.contains(u"not a BMP file"), qPrintable(refusalLogged));
    QCOMPARE(h.messages(), QStringList{texts::cannotRead});
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
}

void tst_Window::helpChangesNothing()
{
    Harness h;
    h.openPicture(pattern(30, 20));
    const QJsonObject before = visibleState(h.window);
    h.window.mnuHelptxt->trigger();
    h.window.mnuVersion->trigger();
    QCOMPARE(visibleState(h.window), before);
    QVERIFY(h.dialogs.take().isEmpty());
}

void tst_Window::endAndClose()
{
    {
        Harness h;
        h.window.mnuEnd->trigger();
        QVERIFY(h.ended);
    }
    {
        Harness h;
        h.window.close();
        QVERIFY(h.ended);
    }
}

void tst_Window::openShowsPicture()
{
    Harness h;
    const QImage source = pattern(640, 480);
    const QString path = h.openPicture(source);
    const Form1 &w = h.window;
    QCOMPARE(w.lblPicPath->text(), path);
    const EditState &s = w.state();
    QCOMPARE(QList<int>({s.intMotoYoko, s.intMotoTate, s.intEditYoko, s.intEditTate}), QList<int>({640, 480, 640, 480}));
    for (QLabel *l : {w.lblMotoYoko, w.lblEditYoko})
        QCOMPARE(l->text(), QStringLiteral("640"));
    for (QLabel *l : {w.lblMotoTate, w.lblEditTate})
        QCOMPARE(l->text(), QStringLiteral("480"));
    QCOMPARE(w.txtYoko->text(), QStringLiteral("640"));
    QCOMPARE(w.txtTate->text(), QStringLiteral("480"));
    QCOMPARE(w.lblShowMode->text(), QStringLiteral("（縮小表示）"));
    QCOMPARE(previewDrawn(w), QSize(400, 300));
    VERIFY_SAME_PIXELS(h.current(), source);
    // Opening the same picture as a file named .jpeg works: names do not decide.
    const QString jpegName = h.file("photo.jpeg", jpeg(photo(50, 40)));
    h.open(jpegName);
    QCOMPARE(w.lblPicPath->text(), jpegName);
    QCOMPARE(w.state().intEditYoko, 50);
}

void tst_Window::openCancelAndFailureChangeNothing()
{
    Harness h;
    h.openPicture(pattern(120, 90));
    h.type(h.window.txtDotDelValue, QStringLiteral("5"));
    h.window.cmbDotDel_Click();
    h.dialogs.take();
    const QJsonObject before = visibleState(h.window);

    h.dialogs.queueOpen(std::nullopt);
    h.window.mnuOpen_Click();
    QCOMPARE(visibleState(h.window), before);
    QVERIFY(h.messages().isEmpty());

    // The last: a HEIC whose decoder crashes; the window lives on.
    for (const QByteArray &bad :
         {QByteArray("just some text\n"), jpeg(photo(64, 64)).left(300), QByteArray(), misbehaving("abort")}) {
        h.open(h.file("bad.bmp", bad));
        QCOMPARE(h.messages(), QStringList{texts::cannotRead});
        QCOMPARE(visibleState(h.window), before);
    }
    // Not regular files: refused without reading, since a FIFO nobody
    // writes to would wait for ever and a device may never end.
    const QString fifo = h.dir.filePath("pipe.bmp");
    QVERIFY(mkfifo(qPrintable(fifo), 0600) == 0);
    for (const QString &special : {fifo, QStringLiteral("/dev/zero"), QStringLiteral("/dev/urandom")}) {
        h.open(special);
        QCOMPARE(h.messages(), QStringList{texts::cannotRead});
        QCOMPARE(visibleState(h.window), before);
    }
    QVERIFY(QFileInfo(fifo).isFile() == false && QFileInfo::exists(fifo));
    // The dialog remembers the name last chosen, even a failed one.
    QCOMPARE(h.window.commonDialog().FileName, QStringLiteral("/dev/urandom"));
    // Over the side limit: refused the same way.
    QImage wide(32768, 1, QImage::Format_RGB32);
    wide.fill(Qt::black);
    h.open(h.file("wide.bmp", bmp(wide, 1)));
    QCOMPARE(h.messages(), QStringList{texts::cannotRead});
    QCOMPARE(visibleState(h.window), before);
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
}

void tst_Window::openSecondFileDiscardsEdits()
{
    Harness h;
    h.openPicture(pattern(100, 80));
    h.window.cmbDotDel_Click();
    QCOMPARE(h.window.state().intEditYoko, 80);
    const QImage second = photo(64, 32);
    h.openPicture(second, "second.bmp");
    QCOMPARE(h.window.state().intEditYoko, 64);
    QCOMPARE(h.window.state().intEditTate, 32);
    VERIFY_SAME_PIXELS(h.current(), second);
}

void tst_Window::previewDrawnWhileHidden()
{
    // The preview is drawn into its surface whether or not the window has
    // been shown yet.
    ScriptedDialogs dialogs;
    Form1 hidden(&dialogs);
    QTemporaryDir dir;
    const QString path = dir.filePath("p.bmp");
    QVERIFY(writeFile(path, bmp(pattern(120, 500), 24)));
    dialogs.queueOpen(path);
    hidden.mnuOpen_Click();
    QCOMPARE(previewDrawn(hidden), QSize(96, 400));
}

void tst_Window::previewCrispAtDoubleDensity()
{
    // On a screen of device pixel ratio 2 every preview pixel becomes a
    // 2 x 2 block of the same colour: nothing is smoothed.
    Harness h;
    const QImage source = pattern(30, 20);
    h.openPicture(source);
    PreviewBox *box = h.window.previewBox();
    QImage screen(box->size() * 2, QImage::Format_RGB32);
    screen.setDevicePixelRatio(2);
    box->render(&screen);
    const QPoint inner = box->contentsRect().topLeft() * 2;
    for (const QPoint p : {QPoint(0, 0), QPoint(7, 3), QPoint(29, 19)})
        for (const QPoint d : {QPoint(0, 0), QPoint(1, 0), QPoint(0, 1), QPoint(1, 1)})
            QCOMPARE(screen.pixel(inner + p * 2 + d), source.pixel(p));
}

void tst_Window::previewRuleThroughTheWindow_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QSize>("drawn");
    QTest::addColumn<QString>("mode");
    QTest::newRow("400x400") << QSize(400, 400) << QSize(400, 400) << "（原寸表示）";
    QTest::newRow("401x401") << QSize(401, 401) << QSize(400, 400) << "（縮小表示）";
    QTest::newRow("13x416") << QSize(13, 416) << QSize(12, 400) << "（縮小表示）";
    QTest::newRow("39x416") << QSize(39, 416) << QSize(38, 400) << "（縮小表示）";
    QTest::newRow("1000x1 draws nothing") << QSize(1000, 1) << QSize(0, 0) << "（縮小表示）";
    QTest::newRow("300x500") << QSize(300, 500) << QSize(240, 400) << "（縮小表示）";
}

void tst_Window::previewRuleThroughTheWindow()
{
    QFETCH(QSize, size);
    QFETCH(QSize, drawn);
    QFETCH(QString, mode);
    Harness h;
    h.openPicture(pattern(size.width(), size.height()));
    QCOMPARE(previewDrawn(h.window), drawn);
    QCOMPARE(h.window.lblShowMode->text(), mode);
    if (drawn == size) // actual size: an exact copy
        VERIFY_SAME_PIXELS(h.window.previewBox()->surface().block(0, 0, size.width(), size.height()),
                           pattern(size.width(), size.height()));
}

void tst_Window::dropsOpenOneLocalFile()
{
    Harness h;
    const QString good = h.openPicture(pattern(40, 30), "first.bmp");
    const QString second = h.file("second.bmp", bmp(pattern(24, 16), 24));
    const QString broken = h.file("broken.jpg", "not a picture");
    auto drag = [&](const QList<QUrl> &urls, bool dropToo, QWidget *onto) {
        QMimeData data;
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(onto, &enter);
        if (dropToo) {
            QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(onto, &drop);
        }
        return enter.isAccepted();
    };
    const QJsonObject before = visibleState(h.window);
    // Several files, a folder, a remote file: not taken, nothing changes.
    QVERIFY(!drag({QUrl::fromLocalFile(good), QUrl::fromLocalFile(second)}, true, &h.window));
    QVERIFY(!drag({QUrl::fromLocalFile(h.dir.path())}, true, &h.window));
    QVERIFY(!drag({QUrl("https://example.org/a.jpg")}, true, &h.window));
    QCOMPARE(visibleState(h.window), before);
    QVERIFY(h.dialogs.take().isEmpty());
    // An unreadable file: the load message, nothing changes but the name
    // the next save proposes.
    QVERIFY(drag({QUrl::fromLocalFile(broken)}, true, &h.window));
    QCOMPARE(h.messages(), QStringList{texts::cannotRead});
    QCOMPARE(visibleState(h.window), before);
    QCOMPARE(h.window.commonDialog().FileName, broken);
    // A picture, dropped on an entry field: opens as from the dialog, and the
    // field keeps its text.
    const QString fieldText = h.window.txtDotDelValue->text();
    QVERIFY(drag({QUrl::fromLocalFile(second)}, true, h.window.txtDotDelValue));
    QCOMPARE(h.window.txtDotDelValue->text(), fieldText);
    QCOMPARE(h.window.lblPicPath->text(), second);
    QCOMPARE(h.window.state().intMotoYoko, 24);
    QCOMPARE(h.window.txtYoko->text(), QStringLiteral("24"));
    QCOMPARE(h.window.commonDialog().FileName, second);
    VERIFY_SAME_PIXELS(h.current(), pattern(24, 16));
    QVERIFY(h.dialogs.take().isEmpty());
}

void tst_Window::qtTextsInJapanese()
{
    // Last: the translations stay installed.
    QVERIFY(useJapaneseQtTexts(*qApp));
    const auto question = QtDialogs::questionBox(texts::overwrite, texts::confirmTitle, nullptr);
    QCOMPARE(question->button(QMessageBox::Yes)->text(), QStringLiteral("はい(&Y)"));
    QCOMPARE(question->button(QMessageBox::No)->text(), QStringLiteral("いいえ(&N)"));
    QCOMPARE(question->defaultButton(), question->button(QMessageBox::No));
    QCOMPARE(question->text(), texts::overwrite);
    const auto dialog = QtDialogs::fileDialog(Dialogs::FileKind::Open, texts::openFilter, QString(), nullptr);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    QCOMPARE(dialog->findChild<QLabel *>("fileNameLabel")->text(), QStringLiteral("ファイル名(&N):"));
    QCOMPARE(dialog->findChild<QLabel *>("fileTypeLabel")->text(), QStringLiteral("ファイルの種類:"));
}

QTEST_MAIN(tst_Window)
#include "tst_window.moc"
