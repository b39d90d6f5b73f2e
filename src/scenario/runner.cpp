#include "scenario/runner.h"

#include "app/previewbox.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace pv {

namespace {

QJsonArray shownAsJson(const QList<ScriptedDialogs::Shown> &shown, bool files)
{
    QJsonArray out;
    for (const ScriptedDialogs::Shown &s : shown) {
        using Kind = ScriptedDialogs::Shown::Kind;
        const bool isFile = s.kind == Kind::Open || s.kind == Kind::Save;
        if (isFile != files)
            continue;
        if (files) {
            out.append(QJsonObject{{"kind", s.kind == Kind::Open ? "open" : "save"},
                                   {"filter", s.text},
                                   {"fileName", s.fileName}});
        } else {
            const bool question = s.kind == Kind::Question;
            out.append(QJsonObject{
                {"text", s.text},
                {"title", s.title},
                {"icon", int(s.icon)},
                {"buttons", question ? QJsonArray{"Yes", "No"} : QJsonArray{"OK"}},
            });
        }
    }
    return out;
}

} // namespace

QString imageDigest(const Surface &surface, int w, int h)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (w > 0 && h > 0) {
        const QImage block = surface.block(0, 0, w, h);
        QByteArray row(qsizetype(block.width()) * 3, '\0');
        for (int y = 0; y < block.height(); ++y) {
            const auto *px = reinterpret_cast<const QRgb *>(block.constScanLine(y));
            for (int x = 0; x < block.width(); ++x) {
                row[3 * x] = char(qRed(px[x]));
                row[3 * x + 1] = char(qGreen(px[x]));
                row[3 * x + 2] = char(qBlue(px[x]));
            }
            hash.addData(row);
        }
    }
    return QString::fromLatin1(hash.result().toHex());
}

QSize drawnPreviewSize(const Form1 &window)
{
    // Everything beyond the surface's written block is background.
    const Surface &s = window.previewBox()->surface();
    const QImage &content = s.content();
    const QRgb background = s.background();
    const int w = std::min(content.width(), s.width()), h = std::min(content.height(), s.height());
    int right = 0, bottom = 0;
    for (int y = 0; y < h; ++y) {
        const auto *row = reinterpret_cast<const QRgb *>(content.constScanLine(y));
        int x = w;
        while (x > 0 && (row[x - 1] | 0xff000000) == background)
            --x;
        if (x > 0) {
            right = std::max(right, x);
            bottom = y + 1;
        }
    }
    return {right, bottom};
}

QJsonObject visibleState(const Form1 &w, const QString &digest)
{
    QJsonObject texts;
    for (QLineEdit *f : {w.txtDotDelValue, w.txtYoko, w.txtTate, w.txtReSizeValue})
        texts[f->objectName()] = f->text();
    QJsonObject checks;
    for (QCheckBox *b : {w.chkUp, w.chkDown, w.chkLeft, w.chkRight})
        checks[b->objectName()] = b->isChecked();
    QJsonObject captions;
    for (QLabel *l : {w.lblMotoYoko, w.lblMotoTate, w.lblEditYoko, w.lblEditTate, w.lblShowMode, w.lblPicPath})
        captions[l->objectName()] = l->text();
    const EditState &st = w.state();
    const QJsonObject state{{"intMotoYoko", st.intMotoYoko},       {"intMotoTate", st.intMotoTate},
                            {"intEditYoko", st.intEditYoko},       {"intEditTate", st.intEditTate},
                            {"intInYoko", st.intInYoko},           {"intInTate", st.intInTate},
                            {"intDotDelValue", st.intDotDelValue}, {"intReSizeValue", st.intReSizeValue}};
    const int ew = std::max<int>(0, st.intEditYoko), eh = std::max<int>(0, st.intEditTate);
    const QJsonObject image{{"width", ew}, {"height", eh},
                            {"sha256", digest.isEmpty() ? imageDigest(w.surfaces().picEdit, ew, eh) : digest}};
    const QSize drawn = drawnPreviewSize(w);
    const QJsonObject preview{{"width", drawn.width()},
                              {"height", drawn.height()},
                              {"background", QColor(w.previewBox()->surface().background()).name()}};

    QWidget *focused = QApplication::focusWidget();
    auto *field = qobject_cast<QLineEdit *>(focused);
    QJsonObject selection{{"start", field ? std::max(0, int(field->selectionStart())) : 0},
                          {"length", field ? int(field->selectedText().size()) : 0}};
    return {{"texts", texts},
            {"focus", focused ? QJsonValue(focused->objectName()) : QJsonValue()},
            {"selection", selection},
            {"checks", checks},
            {"captions", captions},
            {"state", state},
            {"image", image},
            {"preview", preview}};
}

ScenarioRunner::ScenarioRunner(bool digests) : m_window(&m_dialogs), m_digests(digests)
{
    m_window.setEndHandler([this] { m_ended = true; });
    // Nobody looks at the screen: paint only for a screenshot.
    m_window.setUpdatesEnabled(false);
    m_window.show();
    QApplication::setActiveWindow(&m_window);
    m_window.activateWindow();
    QApplication::processEvents();
    m_window.txtDotDelValue->setFocus(Qt::OtherFocusReason);
}

QString ScenarioRunner::act(const QJsonObject &a)
{
    const QString what = a.value("do").toString();
    if (what == u"type" || what == u"focus")
        return typeOrFocus(a, what == u"type");
    if (what == u"check")
        return check(a);
    if (what == u"click")
        return click(a.value("control").toString());
    if (what == u"answer")
        return answer(a);
    if (what == u"screenshot")
        return screenshot(a.value("path").toString());
    return QStringLiteral("unknown action");
}

QString ScenarioRunner::typeOrFocus(const QJsonObject &a, bool type)
{
    QLineEdit *field = m_window.entryField(a.value("field").toString());
    if (!field)
        return QStringLiteral("unknown field");
    if (type) {
        if (!a.value("text").isString())
            return QStringLiteral("type needs a text");
        field->setText(a.value("text").toString());
    } else {
        field->setFocus(Qt::OtherFocusReason);
    }
    return QString();
}

QString ScenarioRunner::check(const QJsonObject &a)
{
    const QString name = a.value("box").toString();
    QCheckBox *box = name == u"Check5" ? m_window.Check5 : m_window.edgeBox(name);
    if (!box || !a.value("on").isBool())
        return QStringLiteral("unknown box or missing on");
    if (box->isEnabled())
        box->setChecked(a.value("on").toBool());
    return QString();
}

QString ScenarioRunner::click(const QString &name)
{
    if (auto *b = m_window.findChild<QPushButton *>(name)) {
        b->click();
        return QString();
    }
    for (QAction *action : {m_window.mnuOpen, m_window.mnuSave, m_window.mnuEnd, m_window.mnuHelptxt,
                            m_window.mnuVersion, m_window.btnOpen, m_window.btnSave}) {
        if (action->objectName() == name) {
            action->trigger();
            return QString();
        }
    }
    return QStringLiteral("unknown control");
}

QString ScenarioRunner::answer(const QJsonObject &a)
{
    auto path = [](const QJsonValue &v) -> std::optional<QString> {
        return v.isString() ? std::optional<QString>(v.toString()) : std::nullopt;
    };
    if (a.contains("open") && (a.value("open").isString() || a.value("open").isNull()))
        m_dialogs.queueOpen(path(a.value("open")));
    else if (a.contains("save") && (a.value("save").isString() || a.value("save").isNull()))
        m_dialogs.queueSave(path(a.value("save")));
    else if (const QString q = a.value("question").toString(); q == u"yes" || q == u"no")
        m_dialogs.queueQuestion(q == u"yes");
    else
        return QStringLiteral("answer needs open, save or question");
    return QString();
}

QString ScenarioRunner::screenshot(const QString &path)
{
    if (path.isEmpty())
        return QStringLiteral("screenshot needs a path");
    m_window.setUpdatesEnabled(true);
    const QPixmap shot = m_window.grab();
    m_window.setUpdatesEnabled(false);
    if (!shot.save(path, "PNG"))
        return QStringLiteral("cannot write ") + path;
    return QString();
}

QJsonObject ScenarioRunner::step(const QByteArray &line)
{
    ++m_step;
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(line, &parseError);
    QString error;
    if (!doc.isObject())
        error = QStringLiteral("malformed line: ") + (doc.isNull() ? parseError.errorString() : QStringLiteral("not an object"));
    else
        error = act(doc.object());
    QApplication::processEvents();

    // The digest is computed again only when the current image changed.
    const EditState &st = m_window.state();
    const QSize size(std::max<int>(0, st.intEditYoko), std::max<int>(0, st.intEditTate));
    const qint64 key = m_window.surfaces().picEdit.content().cacheKey();
    if (m_digests && (key != m_digestKey || size != m_digestSize)) {
        m_digest = imageDigest(m_window.surfaces().picEdit, size.width(), size.height());
        m_digestKey = key;
        m_digestSize = size;
    }
    QJsonObject out = visibleState(m_window, m_digests ? m_digest : QStringLiteral("-"));
    if (!m_digests) {
        QJsonObject image = out["image"].toObject();
        image["sha256"] = QJsonValue();
        out["image"] = image;
    }
    const QList<ScriptedDialogs::Shown> shown = m_dialogs.take();
    out["step"] = m_step;
    out["messages"] = shownAsJson(shown, false);
    out["dialogs"] = shownAsJson(shown, true);
    if (!error.isEmpty())
        out["error"] = error;
    if (m_ended)
        out["ended"] = true;
    return out;
}

} // namespace pv
