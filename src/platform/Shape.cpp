#include "Shape.h"

#include <QPainter>

TShape::TShape(QWidget *parent) : QWidget(parent)
{
    resize(9, 9);
}

QColor TShape::ToQColor(uint32_t colorRef)
{
    return QColor(colorRef & 0xFF, (colorRef >> 8) & 0xFF, (colorRef >> 16) & 0xFF);
}

void TShape::setBrushColor(uint32_t colorRef)
{
    if (brushColor_ == colorRef)
        return;
    brushColor_ = colorRef;
    repaint();  // the lamp must follow at once, not on the next paint cycle
}

void TShape::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(ToQColor(brushColor_));
    const int d = qMin(width(), height()) - 1;
    p.drawEllipse(QRectF(0.5, 0.5, d, d));
}
