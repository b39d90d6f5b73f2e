#include "app/form1.h"

#include "app/busycursor.h"
#include "app/previewbox.h"
#include "app/qtdialogs.h"
#include "files/imagewrite.h"
#include "files/isolated.h"
#include "files/picture.h"
#include "input/savename.h"
#include "surfaces/preview.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cerrno>

namespace pv {

Form1::Form1(Dialogs *dialogs, QWidget *parent)
    : QMainWindow(parent),
      m_ownDialogs(dialogs ? nullptr : std::make_unique<QtDialogs>(this)),
      m_dialogs(dialogs ? *dialogs : *m_ownDialogs),
      CommonDialog1(m_dialogs),
      m_end([] { QCoreApplication::quit(); })
{
    // The decoders' child process starts while the window is built: a HEIF
    // opened first does not wait for it.
    startIsolatedEarly();
    buildControls();
    wireHandlers();
    setAcceptDrops(true);
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
    // An entry field would take a dropped file's name as text: a file
    // dropped there opens like one dropped anywhere else.
    const QEvent::Type type = event->type();
    if ((type == QEvent::DragEnter || type == QEvent::DragMove || type == QEvent::Drop) &&
        static_cast<QDropEvent *>(event)->mimeData()->hasUrls()) {
        takeDrag(static_cast<QDropEvent *>(event));
        return true;
    }
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
    return openChosen(path);
}

bool Form1::openChosen(const QString &path)
{
    const Made<Opened> opened = [&] {
        BusyCursor busy;
        return openPicture(path, OpenRequest{kWorkBackground, Work(), {}});
    }();
    if (!opened) {
        m_dialogs.message(errorMessage(texts::cannotRead, Icon::Critical));
        return false;
    }
    m_doc.load(opened->image);
    m_picPath = path;
    return true;
}

std::optional<QString> Form1::droppedFile(const QMimeData *data)
{
    if (!data || !data->hasUrls() || data->urls().size() != 1)
        return std::nullopt;
    const QUrl url = data->urls().constFirst();
    if (!url.isLocalFile() || QFileInfo(url.toLocalFile()).isDir())
        return std::nullopt;
    return url.toLocalFile();
}

void Form1::takeDrag(QDropEvent *event)
{
    const std::optional<QString> path = droppedFile(event->mimeData());
    if (!path) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    if (event->type() != QEvent::Drop)
        return;
    // As the open dialog would leave it, so that saving proposes its name.
    CommonDialog1.FileName = *path;
    if (!openChosen(*path))
        return;
    BusyCursor busy;
    PicInfoInit();
    PicWorkInit();
}

void Form1::dragEnterEvent(QDragEnterEvent *event) { takeDrag(event); }
void Form1::dragMoveEvent(QDragMoveEvent *event) { takeDrag(event); }
void Form1::dropEvent(QDropEvent *event) { takeDrag(event); }

void Form1::PicInfoInit() { m_doc.PicInfoInit(); }

void Form1::PicWorkInit()
{
    m_doc.PicWorkInit();
    refresh();
    txtYoko->setText(m_doc.fields.yoko);
    txtTate->setText(m_doc.fields.tate);
}

void Form1::refresh()
{
    const EditState &state = m_doc.state();
    lblPicPath->setText(m_picPath);
    lblMotoYoko->setText(QString::number(state.intMotoYoko));
    lblMotoTate->setText(QString::number(state.intMotoTate));
    lblEditYoko->setText(QString::number(state.intEditYoko));
    lblEditTate->setText(QString::number(state.intEditTate));
    if (state.intEditYoko > 0 && state.intEditTate > 0) {
        lblShowMode->setText(
            drawPreview(m_doc.surfaces().picEdit, picShow->surface(), state.intEditYoko, state.intEditTate));
        picShow->update();
    }
}

void Form1::cmdStartBack_Click()
{
    if (!imageLoaded(lblMotoYoko->text(), lblMotoTate->text())) {
        m_dialogs.message(errorMessage(texts::loadFirst, Icon::Critical));
        return;
    }
    BusyCursor busy;
    PicInfoInit();
    PicWorkInit();
}

// The edits.

Edges Form1::checkedEdges() const
{
    return {chkUp->isChecked(), chkDown->isChecked(), chkLeft->isChecked(), chkRight->isChecked()};
}

Fields Form1::typedFields() const
{
    Fields f;
    f.yoko = txtYoko->text();
    f.tate = txtTate->text();
    f.reSizeValue = txtReSizeValue->text();
    f.dotDelValue = txtDotDelValue->text();
    f.edges = checkedEdges();
    return f;
}

void Form1::cmbDotDel_Click() { clickEdit(EditKind::Trim); }
void Form1::cmbCenterDel_Click() { clickEdit(EditKind::CentreCrop); }
void Form1::cmdHenkan_Click() { clickEdit(EditKind::Shrink); }

void Form1::clickEdit(EditKind kind)
{
    std::optional<Refusal> refused;
    {
        BusyCursor busy;
        m_doc.fields = typedFields();
        try {
            const EditOutcome outcome = m_doc.click(kind);
            refused = outcome.plan.refusal;
            if (Document::writesMargin(kind, outcome.plan))
                txtReSizeValue->setText(m_doc.fields.reSizeValue);
        } catch (const std::bad_alloc &) {
            // Nothing has changed: the edit is refused with the system's words.
            refused = refusal(Refusal::Code::NoMemory, Fault::system(ENOMEM).text, Icon::Critical);
        }
        if (!refused)
            refresh();
    }
    if (refused)
        m_dialogs.message(refused->message);
}

// Saving.

void Form1::mnuSave_Click() { PicSave(); }

void Form1::PicSave()
{
    if (!imageLoaded(lblMotoYoko->text(), lblMotoTate->text()))
        return;
    CommonDialog1.FileName = proposeSaveName(CommonDialog1.FileName);
    CommonDialog1.Filter = texts::saveFilter;
    CommonDialog1.CancelError = true;
    if (!CommonDialog1.ShowSave())
        return;
    const QString path = CommonDialog1.FileName;
    if (path.isEmpty())
        return;

    // Only a file can be replaced; anything else that has the name (a
    // folder, a device, a FIFO) is refused by the writer.
    if (QFileInfo(path).isFile() && !m_dialogs.question(texts::overwrite, texts::confirmTitle))
        return;
    const int w = m_doc.state().intEditYoko, h = m_doc.state().intEditTate;
    std::optional<Fault> fault;
    {
        BusyCursor busy;
        try {
            Surface &out = m_doc.surfaces().NewLoadPic(w, h);
            out.bitBlt(m_doc.surfaces().picEdit, w, h, 0, 0);
            if (const Made<void> written = writePicture(out.block(0, 0, w, h), path); !written)
                fault = written.reason();
        } catch (const std::bad_alloc &) {
            fault = Fault::system(ENOMEM);
        }
    }
    if (fault)
        m_dialogs.message(errorMessage(fault->text, Icon::Critical));
}

} // namespace pv
