#pragma once
// The main window: its controls, and the handlers behind them. The window
// shows a document (surfaces/document.h): handlers copy what the controls
// hold into it, open, click or restore it, and write the read-outs and the
// fields it changed.

#include "app/dialogs.h"
#include "surfaces/document.h"

#include <QMainWindow>
#include <functional>
#include <memory>
#include <optional>

class QAction;
class QCheckBox;
class QDragEnterEvent;
class QDragMoveEvent;
class QDropEvent;
class QMimeData;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QToolBar;

namespace pv {

class PreviewBox;

class Form1 : public QMainWindow {
    Q_OBJECT
public:
    // Without dialogs the window uses the real Qt ones.
    explicit Form1(Dialogs *dialogs = nullptr, QWidget *parent = nullptr);
    ~Form1() override;

    // What "終了" and closing the window do; quitting the application
    // unless replaced.
    void setEndHandler(std::function<void()> end) { m_end = std::move(end); }

    // Handlers.
    void mnuOpen_Click();
    void mnuSave_Click();
    void mnuEnd_Click();
    void Toolbar1_ButtonClick(int index);
    void cmbDotDel_Click();
    void cmbCenterDel_Click();
    void cmdHenkan_Click();
    void cmdStartBack_Click();

    bool fncFileOpen();
    void PicInfoInit();
    void PicWorkInit();
    void PicSave();

    // The picture the window shows, with its fields and edit state.
    [[nodiscard]] const Document &document() const { return m_doc; }
    [[nodiscard]] const EditState &state() const { return m_doc.state(); }
    [[nodiscard]] const WorkSurfaces &surfaces() const { return m_doc.surfaces(); }
    [[nodiscard]] const CommonDialog &commonDialog() const { return CommonDialog1; }
    [[nodiscard]] PreviewBox *previewBox() const { return picShow; }

    // Controls, by their names.
    QMenu *mnuFile = nullptr;
    QMenu *mnuHelp = nullptr;
    QAction *mnuOpen = nullptr;
    QAction *mnuSave = nullptr;
    QAction *mnuEnd = nullptr;
    QAction *mnuHelptxt = nullptr;
    QAction *mnuVersion = nullptr;
    QToolBar *Toolbar1 = nullptr;
    QAction *btnOpen = nullptr;
    QAction *btnSave = nullptr;

    QGroupBox *Frame1 = nullptr, *Frame2 = nullptr, *Frame3 = nullptr, *Frame4 = nullptr;
    QGroupBox *Frame5 = nullptr, *Frame6 = nullptr, *Frame7 = nullptr;
    QLineEdit *txtTate = nullptr, *txtYoko = nullptr, *txtReSizeValue = nullptr, *txtDotDelValue = nullptr;
    QPushButton *cmbCenterDel = nullptr, *cmdHenkan = nullptr, *cmbDotDel = nullptr;
    QPushButton *Command1 = nullptr, *cmdStartBack = nullptr;
    QLabel *Label2 = nullptr, *Label3 = nullptr, *Label4 = nullptr, *Label5 = nullptr, *Label6 = nullptr;
    QLabel *Label7 = nullptr, *Label8 = nullptr, *Label9 = nullptr, *Label10 = nullptr;
    QLabel *Label12 = nullptr, *Label13 = nullptr, *Label14 = nullptr;
    QLabel *lblPicPath = nullptr, *lblMotoTate = nullptr, *lblMotoYoko = nullptr;
    QLabel *lblShowMode = nullptr, *lblEditYoko = nullptr, *lblEditTate = nullptr;
    QCheckBox *Check5 = nullptr, *chkDown = nullptr, *chkRight = nullptr, *chkLeft = nullptr, *chkUp = nullptr;
    QWidget *Picture1 = nullptr;
    PreviewBox *picShow = nullptr;

    // The entry fields and the edge boxes, for the scenario runner.
    [[nodiscard]] QLineEdit *entryField(const QString &name) const;
    [[nodiscard]] QCheckBox *edgeBox(const QString &name) const;

    // The one local file a drag carries, if it carries exactly one (a
    // folder, several files or anything else is not taken).
    [[nodiscard]] static std::optional<QString> droppedFile(const QMimeData *data);

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    // A picture file dropped anywhere on the window opens as if it had been
    // chosen in the open dialog.
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    // Opening a file chosen in the dialog or dropped: decoded and loaded
    // into the document, or refused with the load message; true when loaded.
    bool openChosen(const QString &path);
    // Drag events, wherever on the window they land.
    void takeDrag(QDropEvent *event);
    void buildControls();
    void wireHandlers();
    void txtGotFocus(QLineEdit *field);
    [[nodiscard]] Edges checkedEdges() const;
    // What the entry fields and edge boxes hold.
    [[nodiscard]] Fields typedFields() const;
    // An edit button's click: validated, captured and carried out on the
    // current image, or refused with its one message.
    void clickEdit(EditKind kind);
    // Writes every read-out, the path caption and the preview from the
    // document. Every handler that changes it ends here.
    void refresh();

    std::unique_ptr<Dialogs> m_ownDialogs;
    Dialogs &m_dialogs;
    CommonDialog CommonDialog1;
    Document m_doc;
    QString m_picPath; // the loaded file, as the dialog named it
    std::function<void()> m_end;
};

} // namespace pv
