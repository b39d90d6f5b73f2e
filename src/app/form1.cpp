#include "app/form1.h"

#include "app/busycursor.h"
#include "app/qtdialogs.h"
#include "edit/edits.h"
#include "edit/rounding.h"
#include "files/bmpwrite.h"
#include "files/picture.h"
#include "files/savename.h"
#include "preview/previewbox.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cerrno>
#include <cstring>

namespace pv {

Form1::Form1(Dialogs *dialogs, QWidget *parent)
    : QMainWindow(parent),
      m_ownDialogs(dialogs ? nullptr : std::make_unique<QtDialogs>(this)),
      m_dialogs(dialogs ? *dialogs : *m_ownDialogs),
      CommonDialog1(m_dialogs),
      m_end([] { QCoreApplication::quit(); })
{
    buildControls();
    wireHandlers();
    txtDotDelValue->setFocus(Qt::OtherFocusReason);
    txtGotFocus(txtDotDelValue);
}

Form1::~Form1() = default;

void Form1::wireHandlers()
{
    connect(mnuOpen, &QAction::triggered, this, [this] { mnuOpen_Click(); });
    connect(mnuSave, &QAction::triggered, this, [this] { mnuSave_Click(); });
    connect(mnuEnd, &QAction::triggered, this, [this] { mnuEnd_Click(); });
    connect(btnOpen, &QAction::triggered, this, [this] { Toolbar1_ButtonClick(1); });
    connect(btnSave, &QAction::triggered, this, [this] { Toolbar1_ButtonClick(2); });
    connect(cmbDotDel, &QPushButton::clicked, this, [this] { cmbDotDel_Click(); });
    connect(cmbCenterDel, &QPushButton::clicked, this, [this] { cmbCenterDel_Click(); });
    connect(cmdHenkan, &QPushButton::clicked, this, [this] { cmdHenkan_Click(); });
    connect(cmdStartBack, &QPushButton::clicked, this, [this] { cmdStartBack_Click(); });
    for (QLineEdit *field : {txtDotDelValue, txtYoko, txtTate, txtReSizeValue})
        field->installEventFilter(this);
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusIn) {
        auto *field = qobject_cast<QLineEdit *>(watched);
        if (field) {
            txtGotFocus(field);
            // A click places the cursor after the focus arrives; select
            // again once the click has been handled.
            if (static_cast<QFocusEvent *>(event)->reason() == Qt::MouseFocusReason)
                QTimer::singleShot(0, field, [this, field] { txtGotFocus(field); });
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void Form1::txtGotFocus(QLineEdit *field)
{
    field->setSelection(0, int(field->text().size()));
}

QLineEdit *Form1::entryField(const QString &name) const
{
    for (QLineEdit *f : {txtDotDelValue, txtYoko, txtTate, txtReSizeValue})
        if (f->objectName() == name)
            return f;
    return nullptr;
}

QCheckBox *Form1::edgeBox(const QString &name) const
{
    for (QCheckBox *b : {chkUp, chkDown, chkLeft, chkRight})
        if (b->objectName() == name)
            return b;
    return nullptr;
}

void Form1::closeEvent(QCloseEvent *event)
{
    event->accept();
    m_end();
}

void Form1::mnuEnd_Click() { m_end(); }

void Form1::Toolbar1_ButtonClick(int index)
{
    if (index == 1)
        mnuOpen_Click();
    else if (index == 2)
        mnuSave_Click();
}

// Opening and restoring.

void Form1::mnuOpen_Click()
{
    if (!fncFileOpen())
        return;
    BusyCursor busy;
    PicInfoInit();
    PicWorkInit();
}

bool Form1::fncFileOpen()
{
    CommonDialog1.Filter = texts::openFilter;
    CommonDialog1.CancelError = true;
    if (!CommonDialog1.ShowOpen())
        return false;
    const QString path = CommonDialog1.FileName;
    if (path.isEmpty())
        return false;
    Decoded decoded;
    {
        BusyCursor busy;
        decoded = loadPicture(path, kWorkBackground);
    }
    if (!decoded.ok()) {
        m_dialogs.message(errorMessage(texts::cannotRead, Icon::Critical));
        return false;
    }
    m_surfaces.picLoad.setPicture(decoded.image);
    lblPicPath->setText(path);
    return true;
}

void Form1::PicInfoInit()
{
    m_state.intMotoYoko = clamp16(m_surfaces.picLoad.width());
    m_state.intMotoTate = clamp16(m_surfaces.picLoad.height());
    m_state.intEditYoko = m_state.intMotoYoko;
    m_state.intEditTate = m_state.intMotoTate;
}

void Form1::PicWorkInit()
{
    const Surface &picLoad = m_surfaces.picLoad;
    m_surfaces.picEdit.resize(picLoad.width(), picLoad.height());
    m_surfaces.PicWork.resize(picLoad.width(), picLoad.height());
    lblMotoYoko->setText(QString::number(m_state.intMotoYoko));
    lblMotoTate->setText(QString::number(m_state.intMotoTate));
    lblEditYoko->setText(QString::number(m_state.intMotoYoko));
    lblEditTate->setText(QString::number(m_state.intMotoTate));
    m_surfaces.picEdit.clear();
    m_surfaces.picEdit.bitBlt(picLoad, picLoad.width(), picLoad.height(), 0, 0);
    lblShowMode->setText(drawPreview(m_surfaces.picEdit, picShow->surface(), m_state.intMotoYoko,
                                     m_state.intMotoTate));
    picShow->update();
    txtYoko->setText(QString::number(m_state.intMotoYoko));
    txtTate->setText(QString::number(m_state.intMotoTate));
}

void Form1::cmdStartBack_Click()
{
    if (lblMotoYoko->text() == u"0" && lblMotoTate->text() == u"0") {
        m_dialogs.message(errorMessage(texts::loadFirst, Icon::Critical));
        return;
    }
    BusyCursor busy;
    PicInfoInit();
    PicWorkInit();
}

// Validation and capture.

Edges Form1::checkedEdges() const
{
    return {chkUp->isChecked(), chkDown->isChecked(), chkLeft->isChecked(), chkRight->isChecked()};
}

Entries Form1::entries() const
{
    return {lblMotoYoko->text(), lblMotoTate->text(), txtYoko->text(), txtTate->text(),
            txtReSizeValue->text(), txtDotDelValue->text(), checkedEdges(),
            m_state.intEditYoko, m_state.intEditTate};
}

bool Form1::fncInputCheck(int ChkIndex)
{
    const CheckResult result = inputCheck(ChkIndex, entries());
    if (result.message)
        m_dialogs.message(*result.message);
    return result.passed;
}

void Form1::InputInfoInit()
{
    m_state.intDotDelValue = captureValue(txtDotDelValue->text());
    m_state.intInYoko = captureValue(txtYoko->text());
    m_state.intInTate = captureValue(txtTate->text());
    m_state.intReSizeValue = captureValue(txtReSizeValue->text());
}

// The edits.

void Form1::refuse(const QString &text) { m_dialogs.message(errorMessage(text, Icon::Critical)); }

void Form1::showCurrent(int w, int h)
{
    lblShowMode->setText(drawPreview(m_surfaces.picEdit, picShow->surface(), w, h));
    picShow->update();
    m_state.intEditYoko = clamp16(w);
    m_state.intEditTate = clamp16(h);
    lblEditYoko->setText(QString::number(m_state.intEditYoko));
    lblEditTate->setText(QString::number(m_state.intEditTate));
}

void Form1::keepCut(const Cut &cut)
{
    BusyCursor busy;
    applyCut(m_surfaces, cut);
    showCurrent(int(cut.width), int(cut.height));
}

void Form1::cmbDotDel_Click()
{
    if (!fncInputCheck(kTrim))
        return;
    InputInfoInit();
    const Cut cut = trimCut(m_state.intEditYoko, m_state.intEditTate, m_state.intDotDelValue, checkedEdges());
    if (cut.isEmpty()) {
        refuse(texts::sizeNotPositive);
        return;
    }
    keepCut(cut);
}

void Form1::cmbCenterDel_Click()
{
    if (!fncInputCheck(kCentreCrop))
        return;
    InputInfoInit();
    keepCut(centreCut(m_state.intEditYoko, m_state.intEditTate, m_state.intInYoko, m_state.intInTate));
}

void Form1::cmdHenkan_Click()
{
    if (!fncInputCheck(kShrink))
        return;
    InputInfoInit();
    const int a = m_state.intInYoko, b = m_state.intInTate;
    const ShrinkPlan plan = shrinkPlan(m_state.intEditYoko, m_state.intEditTate, a, b,
                                       m_state.intReSizeValue, checkedEdges());
    m_state.intReSizeValue = clamp16(plan.margin);
    txtReSizeValue->setText(QString::number(m_state.intReSizeValue));
    if (plan.cut.isEmpty()) {
        refuse(texts::sizeNotPositive);
        return;
    }
    BusyCursor busy;
    applyCutAndStretch(m_surfaces, plan.cut, a, b);
    showCurrent(a, b);
}

// Saving.

void Form1::mnuSave_Click() { PicSave(); }

void Form1::PicSave()
{
    if (lblMotoYoko->text() == u"0" && lblMotoTate->text() == u"0")
        return;
    CommonDialog1.FileName = proposeSaveName(CommonDialog1.FileName);
    CommonDialog1.Filter = texts::saveFilter;
    CommonDialog1.CancelError = true;
    if (!CommonDialog1.ShowSave())
        return;
    const QString path = CommonDialog1.FileName;
    if (path.isEmpty())
        return;

    const QFileInfo target(path);
    if (target.exists() && !target.isDir() && !m_dialogs.question(texts::overwrite, texts::confirmTitle))
        return;
    const int w = m_state.intEditYoko, h = m_state.intEditTate;
    QString error;
    {
        BusyCursor busy;
        try {
            Surface &out = m_surfaces.NewLoadPic(w, h);
            out.bitBlt(m_surfaces.picEdit, w, h, 0, 0);
            error = writeBmp(out, w, h, path);
        } catch (const std::bad_alloc &) {
            error = QString::fromLocal8Bit(std::strerror(ENOMEM));
        }
    }
    if (!error.isEmpty())
        m_dialogs.message(errorMessage(error, Icon::Critical));
}

} // namespace pv
