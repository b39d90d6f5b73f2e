#include "surfaces/document.h"

#include "edit/rounding.h"

namespace pv {

void Document::load(const QImage &picture) { m_surfaces.picLoad.setPicture(picture); }

void Document::PicInfoInit() { m_state.setLoadedSize(m_surfaces.picLoad.width(), m_surfaces.picLoad.height()); }

void Document::PicWorkInit()
{
    m_surfaces.startFromLoaded();
    showLoadedSize();
}

void Document::showLoadedSize()
{
    fields.yoko = QString::number(m_state.intMotoYoko);
    fields.tate = QString::number(m_state.intMotoTate);
}

void Document::restore()
{
    PicInfoInit();
    PicWorkInit();
}

void Document::open(const QImage &picture)
{
    load(picture);
    restore();
}

void Document::openSized(QSize size)
{
    m_state.setLoadedSize(size.width(), size.height());
    showLoadedSize();
}

EditPlan Document::plan(EditKind kind) const { return planClick(kind, entries(), m_state); }

bool Document::writesMargin(EditKind kind, const EditPlan &plan) { return plan.captured && kind == EditKind::Shrink; }

void Document::take(EditKind kind, const EditPlan &plan)
{
    m_state = plan.state;
    if (writesMargin(kind, plan))
        fields.reSizeValue = QString::number(m_state.intReSizeValue);
}

EditOutcome Document::click(EditKind kind, const Work &work)
{
    EditOutcome outcome = applyPlan(plan(kind), current(), work);
    take(kind, outcome.plan);
    if (!outcome.plan.refusal)
        m_surfaces.keep(outcome.picture);
    return outcome;
}

void Document::reframe(const QImage &picture)
{
    m_surfaces.picEdit.resize(picture.width(), picture.height());
    m_surfaces.PicWork.resize(picture.width(), picture.height());
    m_surfaces.keep(picture);
    reframe(picture.size());
}

void Document::reframe(QSize size)
{
    m_state.intEditYoko = clamp16(size.width());
    m_state.intEditTate = clamp16(size.height());
}

} // namespace pv
