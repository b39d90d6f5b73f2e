// The real main window, offscreen, with scripted dialogs: the edits,
// restoring and saving, end to end.
#include "windowharness.h"

using namespace windowtests;

class tst_WindowEdits : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void trimPixels_data();
    void trimPixels();
    void trimRefusedChangesNothing();
    void trimsCompound();
    void centreCropPixels_data();
    void centreCropPixels();
    void failedCheckChangesNothing();
    void shrinkCropBeforeStretch();
    void shrinkWritesMargin();
    void shrinkRefusalKeepsImage();
    void shrinkKeepsBrightness();
    void restore();
    void saveWithoutImageDoesNothing();
    void saveRoundTrip();
    void saveProposesBmpName();
    void saveOverwriteQuestion();
    void saveSmallerAfterShrink();
    void saveFailureShowsError();
};

// HEIF is decoded by the stand-in child program, which crashes on the files
// made to ask for it.
void tst_WindowEdits::initTestCase() { qputenv("PIXELVANE_DECODER", PIXELVANE_STAND_IN); }

void tst_WindowEdits::trimPixels_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("d");
    QTest::addColumn<QString>("edges");
    QTest::addColumn<QRect>("kept");
    QTest::addColumn<QString>("mode");
    QTest::newRow("top only") << QSize(100, 80) << "10" << "u" << QRect(0, 10, 100, 70) << "（原寸表示）";
    QTest::newRow("all four") << QSize(100, 80) << "10" << "udlr" << QRect(10, 10, 80, 60) << "（原寸表示）";
    QTest::newRow("bottom and right") << QSize(100, 80) << "10" << "dr" << QRect(0, 0, 90, 70) << "（原寸表示）";
    QTest::newRow("width 81 leaves 1") << QSize(81, 20) << "40" << "lr" << QRect(40, 0, 1, 20) << "（原寸表示）";
    QTest::newRow("down to 400 actual size") << QSize(420, 410) << "10" << "udlr" << QRect(10, 10, 400, 390) << "（原寸表示）";
    QTest::newRow("401 reduced") << QSize(421, 320) << "10" << "udlr" << QRect(10, 10, 401, 300) << "（縮小表示）";
}

void tst_WindowEdits::trimPixels()
{
    QFETCH(QSize, size);
    QFETCH(QString, d);
    QFETCH(QString, edges);
    QFETCH(QRect, kept);
    QFETCH(QString, mode);
    Harness h;
    const QImage source = pattern(size.width(), size.height());
    h.openPicture(source);
    Form1 &w = h.window;
    h.type(w.txtDotDelValue, d);
    w.chkUp->setChecked(edges.contains(u'u'));
    w.chkDown->setChecked(edges.contains(u'd'));
    w.chkLeft->setChecked(edges.contains(u'l'));
    w.chkRight->setChecked(edges.contains(u'r'));
    w.cmbDotDel->click();
    QVERIFY(h.messages().isEmpty());
    VERIFY_SAME_PIXELS(h.current(), source.copy(kept));
    QCOMPARE(w.lblEditYoko->text(), QString::number(kept.width()));
    QCOMPARE(w.lblEditTate->text(), QString::number(kept.height()));
    QCOMPARE(w.lblShowMode->text(), mode);
    // Beyond the current image the edit surface holds background only.
    QCOMPARE(w.surfaces().picEdit.pixel(kept.width(), 0), kWorkBackground);
    QCOMPARE(w.surfaces().picEdit.width(), size.width());
}

void tst_WindowEdits::trimRefusedChangesNothing()
{
    Harness h;
    h.openPicture(pattern(80, 50));
    Form1 &w = h.window;
    for (const QString &d : {QStringLiteral("40"), QStringLiteral("32767"), QString(60, u'9')}) {
        const QJsonObject before = visibleState(w);
        h.type(w.txtDotDelValue, d);
        w.chkUp->setChecked(false);
        w.chkDown->setChecked(false);
        w.cmbDotDel_Click();
        QCOMPARE(h.messages(), QStringList{texts::sizeNotPositive});
        QJsonObject after = visibleState(w);
        // Only the captured fields and the typed text differ.
        after["state"] = before["state"];
        after["texts"] = before["texts"];
        after["focus"] = before["focus"];
        after["selection"] = before["selection"];
        after["checks"] = before["checks"];
        QCOMPARE(after, before);
        w.chkUp->setChecked(true);
        w.chkDown->setChecked(true);
    }
}

void tst_WindowEdits::trimsCompound()
{
    Harness h;
    const QImage source = pattern(100, 30);
    h.openPicture(source);
    Form1 &w = h.window;
    w.chkUp->setChecked(false);
    w.chkDown->setChecked(false);
    w.chkRight->setChecked(false);
    w.cmbDotDel_Click();
    w.cmbDotDel_Click();
    QCOMPARE(w.state().intEditYoko, 80);
    VERIFY_SAME_PIXELS(h.current(), source.copy(20, 0, 80, 30));
}

void tst_WindowEdits::centreCropPixels_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QSize>("want");
    QTest::addColumn<QPoint>("origin");
    QTest::newRow("100x80 to 50x40") << QSize(100, 80) << QSize(50, 40) << QPoint(25, 20);
    QTest::newRow("odd 101 puts the extra column right") << QSize(101, 80) << QSize(50, 80) << QPoint(26, 0);
    QTest::newRow("odd 103") << QSize(103, 80) << QSize(50, 80) << QPoint(26, 0);
    QTest::newRow("height only") << QSize(60, 60) << QSize(60, 31) << QPoint(0, 14);
    QTest::newRow("1000x800 to 900x700") << QSize(1000, 800) << QSize(900, 700) << QPoint(50, 50);
}

void tst_WindowEdits::centreCropPixels()
{
    QFETCH(QSize, size);
    QFETCH(QSize, want);
    QFETCH(QPoint, origin);
    Harness h;
    const QImage source = pattern(size.width(), size.height());
    h.openPicture(source);
    h.type(h.window.txtYoko, QString::number(want.width()));
    h.type(h.window.txtTate, QString::number(want.height()));
    h.window.cmbCenterDel->click();
    QVERIFY(h.messages().isEmpty());
    VERIFY_SAME_PIXELS(h.current(), source.copy(QRect(origin, want)));
    // Pressed again at once: the same size is refused.
    h.window.cmbCenterDel->click();
    QCOMPARE(h.messages(), QStringList{texts::sameSize});
}

void tst_WindowEdits::failedCheckChangesNothing()
{
    Harness h;
    Form1 &w = h.window;
    // Before any image, every edit asks for one.
    for (QPushButton *b : {w.cmbDotDel, w.cmbCenterDel, w.cmdHenkan}) {
        b->click();
        QCOMPARE(h.messages(), QStringList{texts::loadFirst});
    }
    h.openPicture(pattern(64, 48));
    h.type(w.txtYoko, QStringLiteral(" 32"));
    h.type(w.txtReSizeValue, QStringLiteral("abc"));
    w.txtYoko->setFocus();
    w.txtYoko->setSelection(1, 1);
    const QJsonObject before = visibleState(w);
    w.cmdHenkan_Click();
    QCOMPARE(h.messages(), QStringList{texts::enterNumber});
    QCOMPARE(visibleState(w), before);
    QCOMPARE(w.txtYoko->selectionStart(), 1);
    QCOMPARE(QApplication::focusWidget(), w.txtYoko);
}

void tst_WindowEdits::shrinkCropBeforeStretch()
{
    // 300 x 200 to 300 x 150 with only the top of the top/bottom pair: the
    // stretch is the identity, so the result is exactly the cut.
    Harness h;
    const QImage source = pattern(300, 200);
    h.openPicture(source);
    Form1 &w = h.window;
    w.chkDown->setChecked(false);
    h.type(w.txtTate, QStringLiteral("150"));
    w.cmdHenkan->click();
    QVERIFY(h.messages().isEmpty());
    VERIFY_SAME_PIXELS(h.current(), source.copy(0, 50, 300, 150));
    QCOMPARE(w.txtYoko->text(), QStringLiteral("300"));
    QCOMPARE(w.txtTate->text(), QStringLiteral("150"));
}

void tst_WindowEdits::shrinkWritesMargin()
{
    Harness h;
    h.openPicture(photo(640, 480));
    Form1 &w = h.window;
    h.type(w.txtYoko, QStringLiteral("320"));
    h.type(w.txtTate, QStringLiteral("200"));
    h.type(w.txtReSizeValue, QStringLiteral("007"));
    w.cmdHenkan_Click();
    QCOMPARE(w.txtReSizeValue->text(), QStringLiteral("40"));
    QCOMPARE(w.state().intReSizeValue, 40);
    QCOMPARE(w.state().intEditYoko, 320);
    QCOMPARE(w.state().intEditTate, 200);
    QCOMPARE(w.lblShowMode->text(), QStringLiteral("（原寸表示）"));
    QCOMPARE(previewDrawn(w), QSize(320, 200));
}

void tst_WindowEdits::shrinkRefusalKeepsImage()
{
    Harness h;
    h.openPicture(pattern(10, 100));
    Form1 &w = h.window;
    h.type(w.txtYoko, QStringLiteral("1"));
    h.type(w.txtTate, QStringLiteral("60"));
    const QJsonObject before = visibleState(w);
    w.cmdHenkan_Click();
    QCOMPARE(h.messages(), QStringList{texts::sizeNotPositive});
    QCOMPARE(w.txtReSizeValue->text(), QStringLiteral("5"));
    QJsonObject after = visibleState(w);
    QCOMPARE(after["image"], before["image"]);
    QCOMPARE(after["preview"], before["preview"]);
    QCOMPARE(after["captions"], before["captions"]);
    // A margin far beyond the range is held as 32767.
    h.type(w.txtYoko, QStringLiteral("5"));
    h.type(w.txtReSizeValue, QString(50, u'9'));
    w.cmdHenkan_Click();
    QCOMPARE(h.messages(), QStringList{texts::sizeNotPositive});
    QCOMPARE(w.txtReSizeValue->text(), QStringLiteral("32767"));
    QCOMPARE(visibleState(w)["image"], before["image"]);
}

void tst_WindowEdits::shrinkKeepsBrightness()
{
    Harness h;
    const QImage source = pattern(1200, 900);
    h.openPicture(source);
    h.type(h.window.txtYoko, QStringLiteral("320"));
    h.type(h.window.txtTate, QStringLiteral("240"));
    h.window.cmdHenkan_Click();
    const QImage out = h.current();
    QCOMPARE(out.size(), QSize(320, 240));
    QVERIFY(std::abs(meanLuma(out) - meanLuma(source)) < 1.0);
}

void tst_WindowEdits::restore()
{
    Harness h;
    h.window.cmdStartBack_Click();
    QCOMPARE(h.messages(), QStringList{texts::loadFirst});
    const QImage source = photo(640, 480);
    h.openPicture(source);
    const QJsonObject opened = visibleState(h.window);
    Form1 &w = h.window;
    h.type(w.txtYoko, QStringLiteral("320"));
    h.type(w.txtTate, QStringLiteral("200"));
    w.cmdHenkan_Click();
    w.cmbDotDel_Click();
    QCOMPARE(w.state().intEditYoko, 300);
    w.cmdStartBack_Click();
    w.cmdStartBack_Click();
    QJsonObject restored = visibleState(w);
    QCOMPARE(restored["image"], opened["image"]);
    QCOMPARE(restored["preview"], opened["preview"]);
    QCOMPARE(restored["captions"], opened["captions"]);
    QCOMPARE(w.txtYoko->text(), QStringLiteral("640"));
    QCOMPARE(w.txtReSizeValue->text(), QStringLiteral("40"));
    VERIFY_SAME_PIXELS(h.current(), source);
}

void tst_WindowEdits::saveWithoutImageDoesNothing()
{
    Harness h;
    h.window.mnuSave_Click();
    QVERIFY(h.dialogs.take().isEmpty());
}

void tst_WindowEdits::saveRoundTrip()
{
    Harness h;
    const QImage source = pattern(100, 80);
    h.openPicture(source);
    h.window.cmbDotDel_Click();
    const QString out = h.dir.filePath("trimmed.bmp");
    h.dialogs.queueSave(out);
    h.window.mnuSave_Click();
    QVERIFY(h.messages().isEmpty());
    VERIFY_SAME_PIXELS(QImage(out, "BMP"), source.copy(10, 10, 80, 60));
    QCOMPARE(h.window.commonDialog().FileName, out);
    // A name without an extension is used as it stands.
    const QString plain = h.dir.filePath("noext");
    h.dialogs.queueSave(plain);
    h.window.mnuSave_Click();
    VERIFY_SAME_PIXELS(QImage(plain, "BMP"), source.copy(10, 10, 80, 60));
    // Cancel writes nothing and shows nothing.
    const QStringList files = QDir(h.dir.path()).entryList(QDir::Files);
    h.dialogs.queueSave(std::nullopt);
    h.window.mnuSave_Click();
    QVERIFY(h.messages().isEmpty());
    QCOMPARE(QDir(h.dir.path()).entryList(QDir::Files), files);
}

void tst_WindowEdits::saveProposesBmpName()
{
    Harness h;
    h.open(h.file("cat.jpeg", jpeg(photo(20, 20))));
    h.dialogs.take();
    h.window.mnuSave_Click();
    const auto shown = h.dialogs.take();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].fileName, h.dir.filePath("cat.bmp"));
}

void tst_WindowEdits::saveOverwriteQuestion()
{
    Harness h;
    const QString path = h.openPicture(pattern(30, 20), ".hidden.BMP");
    h.type(h.window.txtDotDelValue, QStringLiteral("5"));
    h.window.cmbDotDel_Click();
    const QByteArray original = readFile(path);
    // The proposal keeps the name; it exists (hidden as it is), so the
    // question comes; No writes nothing.
    h.dialogs.queueSave(path);
    h.dialogs.queueQuestion(false);
    h.window.mnuSave_Click();
    auto shown = h.dialogs.take();
    QCOMPARE(shown.size(), 2);
    QCOMPARE(shown[0].fileName, path);
    QCOMPARE(shown[1].kind, Kind::Question);
    QCOMPARE(shown[1].text, texts::overwrite);
    QCOMPARE(shown[1].title, QStringLiteral("確認"));
    QCOMPARE(readFile(path), original);
    // Yes replaces it.
    h.dialogs.queueSave(path);
    h.dialogs.queueQuestion(true);
    h.window.mnuSave_Click();
    QVERIFY(h.messages().size() == 1);
    VERIFY_SAME_PIXELS(QImage(path, "BMP"), pattern(30, 20).copy(5, 5, 20, 10));
}

void tst_WindowEdits::saveSmallerAfterShrink()
{
    Harness h;
    h.openPicture(photo(200, 100));
    const QString out = h.dir.filePath("out.bmp");
    h.dialogs.queueSave(out);
    h.window.mnuSave_Click();
    h.type(h.window.txtYoko, QStringLiteral("50"));
    h.type(h.window.txtTate, QStringLiteral("20"));
    h.window.cmdHenkan_Click();
    h.dialogs.queueSave(out);
    h.dialogs.queueQuestion(true);
    h.window.mnuSave_Click();
    const QImage saved(out, "BMP");
    VERIFY_SAME_PIXELS(saved, h.current());
    QCOMPARE(saved.size(), QSize(50, 20));
}

void tst_WindowEdits::saveFailureShowsError()
{
    Harness h;
    h.openPicture(pattern(30, 20));
    h.dialogs.queueSave(h.dir.filePath("missing/folder/out.bmp"));
    const QJsonObject before = visibleState(h.window);
    h.window.mnuSave_Click();
    const auto shown = h.dialogs.take();
    QCOMPARE(shown.size(), 2);
    QCOMPARE(shown[1].kind, Kind::Message);
    QVERIFY(!shown[1].text.isEmpty());
    QCOMPARE(shown[1].title, QStringLiteral("Error"));
    QCOMPARE(shown[1].icon, Icon::Critical);
    QCOMPARE(visibleState(h.window), before);
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
}

QTEST_MAIN(tst_WindowEdits)
#include "tst_windowedits.moc"
