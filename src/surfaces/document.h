#pragma once
// One picture being edited, as the window shows it and the batch command
// drives it: the entry fields and edge boxes as typed, the edit state, and
// the surfaces holding the picture as loaded and as it stands now. Opening,
// an edit's click and restoring change them here and nowhere else; the
// window copies its controls into the fields before a click and shows
// what the document holds after it.

#include "edit/editplan.h"
#include "input/validation.h"
#include "surfaces/edits.h"
#include "surfaces/work.h"
#include "surfaces/worksurfaces.h"

#include <QImage>
#include <QSize>

namespace pv {

class Document {
public:
    Fields fields; // the entry fields and edge boxes, as typed

    [[nodiscard]] const EditState &state() const { return m_state; }
    [[nodiscard]] const WorkSurfaces &surfaces() const { return m_surfaces; }
    [[nodiscard]] WorkSurfaces &surfaces() { return m_surfaces; }
    // The current picture: the intEditYoko x intEditTate block of picEdit.
    [[nodiscard]] QImage current() const { return m_surfaces.current(m_state.intEditYoko, m_state.intEditTate); }
    // What an edit's checks read: the fields, and the sizes the read-outs show.
    [[nodiscard]] Entries entries() const { return entriesOf(fields, m_state); }

    // The decoded picture becomes the loaded one (picLoad); nothing else
    // changes until PicInfoInit and PicWorkInit.
    void load(const QImage &picture);
    // The loaded size becomes the loaded and the current size.
    void PicInfoInit();
    // The loaded picture becomes the current one, and the size fields
    // (txtYoko, txtTate) are set to its size.
    void PicWorkInit();
    // What opening a picture does, and 元に戻す: PicInfoInit, then PicWorkInit.
    void restore();
    // load, then restore.
    void open(const QImage &picture);
    // As open, for a picture of `size` whose pixels are not held: the state
    // and the fields it would leave, for planning from a header; no pixels.
    void openSized(QSize size);

    // The plan of a click on the edit's button, from the fields as they
    // are; nothing changes.
    [[nodiscard]] EditPlan plan(EditKind kind) const;
    // Takes the state a planned click leaves (also a refused one's
    // captured values), and the margin a shrink writes back; the pixels
    // are not touched.
    void take(EditKind kind, const EditPlan &plan);
    // A click on the edit's button: planned, carried out on the current
    // picture, then taken; a refused edit leaves the picture as it was.
    // Memory that cannot be had throws std::bad_alloc before anything
    // changes.
    EditOutcome click(EditKind kind, const Work &work = {});

    // Whether a click's plan writes back into the margin field (txtReSizeValue)
    // the margin it ended with: a shrink whose entries were captured does.
    [[nodiscard]] static bool writesMargin(EditKind kind, const EditPlan &plan);

    // The current picture becomes `picture`, of any size (a step the batch
    // command has and the window does not: a fit, a pad, a border trim).
    void reframe(const QImage &picture);
    // As reframe, for a document without pixels: the current size alone.
    void reframe(QSize size);

private:
    void showLoadedSize();

    EditState m_state;
    WorkSurfaces m_surfaces;
};

} // namespace pv
