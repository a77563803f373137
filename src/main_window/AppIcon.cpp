#include "AppIcon.h"

#include <QPainter>
#include <QPainterPath>

namespace {
// A card with a cut corner and contacts along its top edge.
void DrawCard(QPainter &p, const QRectF &r, const QColor &body)
{
    const qreal cut = r.width() * 0.25;
    QPainterPath path;
    path.moveTo(r.left() + cut, r.top());
    path.lineTo(r.right(), r.top());
    path.lineTo(r.right(), r.bottom());
    path.lineTo(r.left(), r.bottom());
    path.lineTo(r.left(), r.top() + cut);
    path.closeSubpath();
    p.setPen(QPen(QColor(40, 40, 40), 1));
    p.setBrush(body);
    p.drawPath(path);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(230, 190, 60));
    const qreal pin = r.width() / 8;
    for (qreal x = r.left() + cut + pin / 2; x + pin <= r.right(); x += pin * 1.6)
        p.drawRect(QRectF(x, r.top() + 1.5, pin * 0.8, r.height() * 0.22));
}
} // namespace

QIcon AppIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/appicon/%1.png").arg(size), QSize(size, size));
    return icon;
}

QString AppIconName()
{
    return QStringLiteral(TVQ_APP_ID);
}

QPixmap CardGlyph()
{
    QPixmap pm(12, 9);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    DrawCard(p, QRectF(1.5, 0.5, 9, 8), QColor(90, 130, 200));
    return pm;
}
