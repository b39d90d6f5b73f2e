// The window's controls at their fixed positions (pixels at 96 dpi, relative
// to the client area below the menu bar or to the containing frame).
#include "app/artwork.h"
#include "app/form1.h"
#include "app/previewbox.h"
#include "input/fields.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QToolBar>

#include <climits>

namespace pv {

namespace {

constexpr int kClientWidth = 694;
constexpr int kClientHeight = 615;

template <typename T>
T *place(T *widget, const char *name, int x, int y, int w, int h)
{
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(x, y, w, h);
    return widget;
}

// Narrows a caption's font where the text is wider than the room the fixed
// layout gives it, so that no caption is cut off.
void fitCaption(QWidget *widget, const QString &text, int room)
{
    QFont font = widget->font();
    const int need = QFontMetrics(font).horizontalAdvance(text);
    if (need <= room || room <= 0)
        return;
    font.setStretch(std::max(50, room * 100 / need));
    widget->setFont(font);
}

QGroupBox *frame(QWidget *parent, const char *name, const QString &title, int x, int y, int w, int h)
{
    return place(new QGroupBox(title, parent), name, x, y, w, h);
}

QLabel *label(QWidget *parent, const char *name, const QString &text, int x, int y, int w, int h)
{
    auto *l = place(new QLabel(text, parent), name, x, y, w, h);
    // Short labels centre their line so that the cut falls on white space.
    l->setAlignment(Qt::AlignLeft | (h < l->fontMetrics().height() ? Qt::AlignVCenter : Qt::AlignTop));
    fitCaption(l, text, w);
    return l;
}

QLineEdit *textBox(QWidget *parent, const char *name, const QString &text, int x, int y, int w, int h)
{
    auto *t = place(new QLineEdit(text, parent), name, x, y, w, h);
    t->setMaxLength(INT_MAX);
    t->setTextMargins(0, 0, 0, 0);
    return t;
}

QPushButton *button(QWidget *parent, const char *name, const QString &text, int x, int y, int w, int h)
{
    auto *b = place(new QPushButton(text, parent), name, x, y, w, h);
    fitCaption(b, text, w - 8);
    return b;
}

// A check box standing on a frame's top edge where the frame's title would
// be, and drawn as a title is: the frame's line stops behind its box and
// caption.
class TitleCheckBox : public QCheckBox {
public:
    using QCheckBox::QCheckBox;

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QStyleOptionButton option;
        initStyleOption(&option);
        const QRect contents = style()->subElementRect(QStyle::SE_CheckBoxContents, &option, this);
        const int right = std::min(width(), contents.left() + fontMetrics().horizontalAdvance(text()) + 2);
        QPainter(this).fillRect(QRect(0, 0, right, height()), palette().window());
        QCheckBox::paintEvent(event);
    }
};

template <typename Box = QCheckBox>
QCheckBox *checkBox(QWidget *parent, const char *name, const QString &text, int x, int y, int w, int h,
                    bool checked)
{
    auto *c = place(new Box(text, parent), name, x, y, w, h);
    c->setChecked(checked);
    fitCaption(c, text, w - 20);
    return c;
}

QAction *menuEntry(QMenu *menu, const char *name, const QString &text)
{
    QAction *a = menu->addAction(text);
    a->setObjectName(QString::fromLatin1(name));
    return a;
}

} // namespace

void Form1::buildControls()
{
    useApplicationStyle();
    setWindowTitle(QStringLiteral("Pixelvane"));
    setWindowIcon(applicationIcon());
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    QFont font(QStringLiteral("Noto Sans CJK JP"));
    font.setPixelSize(12);
    // The menus and message boxes use the application's font, and so does a
    // line edit's first layout: making it the same font keeps a second one
    // from being loaded.
    QApplication::setFont(font);
    setFont(font);
    // Frames carry their title on the border line, so that the controls
    // placed inside them clear it.
    setStyleSheet(QStringLiteral("QGroupBox { border: 1px solid #a0a0a0; border-radius: 2px; margin-top: 7px; }"
                                 "QGroupBox::title { subcontrol-origin: margin; left: 6px; padding: 0 2px; }"));

    mnuFile = menuBar()->addMenu(QStringLiteral("ファイル"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuOpen = menuEntry(mnuFile, "mnuOpen", QStringLiteral("ファイルを開く"));
    mnuSave = menuEntry(mnuFile, "mnuSave", QStringLiteral("名前を付けてファイルの保存"));
    mnuEnd = menuEntry(mnuFile, "mnuEnd", QStringLiteral("終了"));
    mnuHelp = menuBar()->addMenu(QStringLiteral("ヘルプ"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    mnuHelptxt = menuEntry(mnuHelp, "mnuHelptxt", QStringLiteral("ヘルプ"));
    mnuVersion = menuEntry(mnuHelp, "mnuVersion", QStringLiteral("バージョン情報"));

    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(kClientWidth, kClientHeight);
    setCentralWidget(client);

    const Fields start; // what the fields and boxes hold when the window opens
    // Created in the window's own order, so that later ones lie on top.
    Frame5 = frame(client, "Frame5", QStringLiteral("編集操作"), 16, 328, 233, 189);
    Frame7 = frame(Frame5, "Frame7", QString(), 16, 60, 201, 89);
    txtTate = textBox(Frame7, "txtTate", start.tate, 124, 12, 33, 18);
    txtYoko = textBox(Frame7, "txtYoko", start.yoko, 52, 12, 33, 18);
    cmbCenterDel = button(Frame7, "cmbCenterDel", QStringLiteral("中心切り抜き"), 108, 36, 81, 25);
    cmdHenkan = button(Frame7, "cmdHenkan", QStringLiteral("リサイズ（縮小）"), 8, 36, 93, 25);
    txtReSizeValue = textBox(Frame7, "txtReSizeValue", start.reSizeValue, 60, 64, 41, 18);
    Label10 = label(Frame7, "Label10", QStringLiteral("）"), 108, 68, 9, 13);
    Label2 = label(Frame7, "Label2", QStringLiteral("（"), 8, 68, 5, 13);
    Label5 = label(Frame7, "Label5", QStringLiteral("縦："), 100, 16, 25, 17);
    Label4 = label(Frame7, "Label4", QStringLiteral("横："), 28, 16, 25, 17);
    Label14 = label(Frame7, "Label14", QStringLiteral("削除値"), 20, 68, 49, 17);
    Frame6 = frame(Frame5, "Frame6", QString(), 16, 16, 201, 37);
    cmbDotDel = button(Frame6, "cmbDotDel", QStringLiteral("削る"), 136, 12, 41, 21);
    txtDotDelValue = textBox(Frame6, "txtDotDelValue", start.dotDelValue, 20, 12, 33, 18);
    Label3 = label(Frame6, "Label3", QStringLiteral("ドット"), 60, 16, 25, 17);
    Command1 = button(Frame5, "Command1", QStringLiteral("前に戻る"), 48, 160, 61, 21);
    Command1->setEnabled(false);
    cmdStartBack = button(Frame5, "cmdStartBack", QStringLiteral("元に戻す"), 132, 160, 61, 21);

    Frame4 = frame(client, "Frame4", QStringLiteral("画像ファイルのパス"), 16, 40, 665, 41);
    lblPicPath = label(Frame4, "lblPicPath", QString(), 16, 20, 637, 17);

    Toolbar1 = place(new QToolBar(client), "Toolbar1", 0, 0, kClientWidth, 41);
    Toolbar1->setMovable(false);
    Toolbar1->setFloatable(false);
    Toolbar1->setIconSize(QSize(16, 15));
    Toolbar1->setToolButtonStyle(Qt::ToolButtonIconOnly);
    btnOpen = Toolbar1->addAction(QIcon(openFolderPicture()), QString());
    btnOpen->setObjectName(QStringLiteral("btnOpen"));
    btnSave = Toolbar1->addAction(QIcon(floppyDiskPicture()), QString());
    btnSave->setObjectName(QStringLiteral("btnSave"));
    for (QAction *a : {btnOpen, btnSave})
        a->setToolTip(QString());

    Frame2 = frame(client, "Frame2", QString(), 16, 528, 665, 73);
    Label9 = label(Frame2, "Label9", QStringLiteral("出力フォルダ"), 16, 48, 89, 17);
    Label8 = label(Frame2, "Label8", QStringLiteral("入力フォルダ"), 16, 24, 73, 17);
    // Stands over the top edge of Frame2, where a title would be.
    Check5 = checkBox<TitleCheckBox>(client, "Check5", QStringLiteral("一括変換"), 24, 524, 89, 25, false);
    Check5->setEnabled(false);
    Check5->raise();

    picShow = place(new PreviewBox(client), "picShow", 272, 112, 405, 405);

    Frame3 = frame(client, "Frame3", QStringLiteral("元画像サイズ"), 16, 88, 233, 57);
    lblMotoTate = label(Frame3, "lblMotoTate", QStringLiteral("0"), 160, 28, 29, 25);
    lblMotoYoko = label(Frame3, "lblMotoYoko", QStringLiteral("0"), 60, 28, 29, 25);
    Label7 = label(Frame3, "Label7", QStringLiteral("縦："), 140, 28, 25, 17);
    Label6 = label(Frame3, "Label6", QStringLiteral("横："), 40, 28, 25, 17);

    Frame1 = frame(client, "Frame1", QStringLiteral("削る箇所"), 16, 152, 233, 169);
    chkDown = checkBox(Frame1, "chkDown", QStringLiteral("下"), 100, 128, 41, 25, start.edges.down);
    chkRight = checkBox(Frame1, "chkRight", QStringLiteral("右"), 164, 72, 41, 25, start.edges.right);
    chkLeft = checkBox(Frame1, "chkLeft", QStringLiteral("左"), 28, 72, 41, 25, start.edges.left);
    Picture1 = place(new QFrame(Frame1), "Picture1", 76, 56, 73, 65);
    static_cast<QFrame *>(Picture1)->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Picture1->setAutoFillBackground(true);
    chkUp = checkBox(Frame1, "chkUp", QStringLiteral("上"), 100, 24, 41, 25, start.edges.up);

    lblShowMode = label(client, "lblShowMode", QStringLiteral("原寸表示"), 528, 92, 113, 13);
    Label13 = label(client, "Label13", QStringLiteral("横："), 328, 92, 25, 13);
    Label12 = label(client, "Label12", QStringLiteral("縦："), 432, 92, 25, 13);
    lblEditYoko = label(client, "lblEditYoko", QStringLiteral("0"), 348, 92, 29, 13);
    lblEditTate = label(client, "lblEditTate", QStringLiteral("0"), 452, 92, 29, 13);

    // Tab order: entry fields and buttons as the user works through them,
    // then the edge boxes.
    const QList<QWidget *> order = {txtDotDelValue, cmbDotDel, txtYoko,      txtTate, cmdHenkan,
                                    cmbCenterDel,   txtReSizeValue, Command1, cmdStartBack,
                                    chkUp,          chkLeft,   chkRight,     chkDown};
    for (qsizetype i = 0; i + 1 < order.size(); ++i)
        setTabOrder(order[i], order[i + 1]);
    for (QWidget *w : {static_cast<QWidget *>(picShow), Picture1, static_cast<QWidget *>(Toolbar1)})
        w->setFocusPolicy(Qt::NoFocus);
    for (QPushButton *b : {cmbCenterDel, cmdHenkan, cmbDotDel, Command1, cmdStartBack})
        b->setAutoDefault(false);

    setFixedSize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());
}

} // namespace pv
