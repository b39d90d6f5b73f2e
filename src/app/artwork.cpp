#include "app/artwork.h"

#include <QApplication>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QStyleFactory>
#include <functional>

namespace pv {

namespace {

QPixmap blank(int w, int h)
{
    QPixmap pixmap(w, h);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

// An icon drawn in a square design space of `design` units, at whatever
// size is asked for, and only then: nothing is drawn where nobody shows it.
class DrawnIconEngine : public QIconEngine
{
public:
    using Draw = std::function<void(QPainter &)>;
    DrawnIconEngine(Draw draw, qreal design, QList<QSize> sizes)
        : m_draw(std::move(draw)), m_design(design), m_sizes(std::move(sizes))
    {
    }

    void paint(QPainter *p, const QRect &rect, QIcon::Mode, QIcon::State) override
    {
        p->save();
        p->setRenderHint(QPainter::Antialiasing);
        p->translate(rect.topLeft());
        p->scale(rect.width() / m_design, rect.height() / m_design);
        m_draw(*p);
        p->restore();
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        QPixmap pixmap = blank(size.width(), size.height());
        QPainter p(&pixmap);
        paint(&p, pixmap.rect(), mode, state);
        return pixmap;
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override { return m_sizes; }
    QIconEngine *clone() const override { return new DrawnIconEngine(m_draw, m_design, m_sizes); }
    QString key() const override { return QStringLiteral("pixelvane-drawn"); }

private:
    Draw m_draw;
    qreal m_design;
    QList<QSize> m_sizes;
};

// A double chevron pointing right, or down when turned.
QIcon overflowArrow(bool down)
{
    return QIcon(new DrawnIconEngine(
        [down](QPainter &p) {
            if (down) {
                p.translate(16, 0);
                p.rotate(90);
            }
            p.setPen(QPen(QColor(60, 60, 60), 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            for (qreal x : {4.5, 8.5})
                p.drawPolyline(QPolygonF({{x, 4.5}, {x + 3, 8}, {x, 11.5}}));
        },
        16, {{16, 16}, {32, 32}}));
}

} // namespace

QIcon ApplicationStyle::standardIcon(StandardPixmap which, const QStyleOption *option,
                                     const QWidget *widget) const
{
    if (which == SP_ToolBarHorizontalExtensionButton)
        return overflowArrow(false);
    if (which == SP_ToolBarVerticalExtensionButton)
        return overflowArrow(true);
    return QProxyStyle::standardIcon(which, option, widget);
}

void useApplicationStyle()
{
    if (qobject_cast<ApplicationStyle *>(QApplication::style()))
        return;
    QApplication::setStyle(new ApplicationStyle(QStyleFactory::create(QApplication::style()->name())));
}

QPixmap openFolderPicture()
{
    QPixmap pixmap = blank(16, 15);
    QPainter p(&pixmap);
    const QColor outline(96, 72, 0);
    // Back of the folder with its tab.
    p.setPen(outline);
    p.setBrush(QColor(224, 176, 32));
    p.drawPolygon(QPolygon({{0, 3}, {1, 2}, {5, 2}, {6, 3}, {12, 3}, {12, 13}, {0, 13}}));
    // The open front flap, tilted.
    p.setBrush(QColor(255, 224, 96));
    p.drawPolygon(QPolygon({{2, 7}, {15, 7}, {12, 13}, {0, 13}}));
    // A sheet peeking out.
    p.setPen(QColor(128, 128, 128));
    p.setBrush(Qt::white);
    p.drawRect(4, 4, 6, 2);
    return pixmap;
}

QPixmap floppyDiskPicture()
{
    QPixmap pixmap = blank(16, 15);
    QPainter p(&pixmap);
    p.setPen(QColor(16, 16, 48));
    p.setBrush(QColor(48, 64, 160));
    p.drawPolygon(QPolygon({{0, 0}, {13, 0}, {15, 2}, {15, 14}, {0, 14}}));
    // Label and shutter.
    p.setBrush(Qt::white);
    p.drawRect(3, 1, 9, 5);
    p.setBrush(QColor(192, 192, 200));
    p.drawRect(4, 9, 7, 5);
    p.setBrush(QColor(48, 64, 160));
    p.drawRect(8, 10, 2, 3);
    return pixmap;
}

QIcon applicationIcon()
{
    return QIcon(new DrawnIconEngine(
        [](QPainter &p) {
            // A landscape photo...
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(120, 180, 230));
            p.drawRect(10, 10, 44, 44);
            p.setBrush(QColor(70, 150, 70));
            QPainterPath hill;
            hill.moveTo(10, 54);
            hill.lineTo(10, 40);
            hill.quadTo(30, 26, 54, 42);
            hill.lineTo(54, 54);
            p.drawPath(hill);
            p.setBrush(QColor(250, 210, 60));
            p.drawEllipse(QPointF(42, 22), 5, 5);
            // ...and the crop marks at its corners.
            p.setPen(QPen(QColor(30, 30, 30), 4, Qt::SolidLine, Qt::SquareCap));
            p.drawLine(4, 10, 10, 10);
            p.drawLine(10, 4, 10, 10);
            p.drawLine(54, 54, 60, 54);
            p.drawLine(54, 54, 54, 60);
        },
        64, {{16, 16}, {32, 32}, {48, 48}, {64, 64}, {128, 128}}));
}

} // namespace pv
