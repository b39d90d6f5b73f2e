#pragma once
// Drives the real main window from JSON actions, one per line, with the
// dialogs scripted, and reports what a user would see after each action.

#include "app/form1.h"
#include "scenario/scripteddialogs.h"

#include <QJsonObject>

namespace pv {

class ScenarioRunner {
public:
    // Without digests, "sha256" is null: hashing a large image costs more
    // than editing it, which matters when the runner is timed.
    explicit ScenarioRunner(bool digests = true);

    // Runs one action line and returns the state after it. A malformed line
    // or an unknown name yields an "error" member and changes nothing.
    QJsonObject step(const QByteArray &line);

    [[nodiscard]] Form1 &window() { return m_window; }
    [[nodiscard]] ScriptedDialogs &dialogs() { return m_dialogs; }
    // True once "終了" was chosen or the window was closed.
    [[nodiscard]] bool ended() const { return m_ended; }

private:
    // Each action, by its "do": the error, or empty when it was carried out.
    QString act(const QJsonObject &action);
    QString typeOrFocus(const QJsonObject &action, bool type);
    QString check(const QJsonObject &action);
    QString click(const QString &control);
    QString answer(const QJsonObject &action);
    QString screenshot(const QString &path);

    ScriptedDialogs m_dialogs;
    Form1 m_window;
    int m_step = 0;
    bool m_ended = false;
    bool m_digests = true;
    // The last digest and what it was computed from.
    qint64 m_digestKey = -1;
    QSize m_digestSize;
    QString m_digest;
};

// What the window shows: texts, checks, captions, edit state, the current
// image (size and SHA-256 of its RGB bytes) and the drawn preview region.
// `digest` is the image's SHA-256; computed from the window when empty.
[[nodiscard]] QJsonObject visibleState(const Form1 &window, const QString &digest = QString());

// The bounding size of the pixels of the preview that differ from its
// background.
[[nodiscard]] QSize drawnPreviewSize(const Form1 &window);

// SHA-256 (hex) of the w x h top-left block of a surface as 8-bit R, G, B,
// row by row.
[[nodiscard]] QString imageDigest(const Surface &surface, int w, int h);

} // namespace pv
