#include "Shape.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPainter>

namespace {
// Read by screen readers as a label: its name is what the lamp shows.
class LampAccessible : public QAccessibleWidget {
public:
    explicit LampAccessible(QWidget *w) : QAccessibleWidget(w, QAccessible::StaticText) {}
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name)
            return static_cast<TShape *>(widget())->lampText();
        return QAccessibleWidget::text(t);
    }
};

QAccessibleInterface *lampFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("TShape") && object && object->isWidgetType())
        return new LampAccessible(static_cast<QWidget *>(object));
    return nullptr;
}
} // namespace

void TShape::InstallAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(lampFactory);
        return true;
    }();
    (void)installed;
}

TShape::TShape(QWidget *parent) : QWidget(parent)
{
    InstallAccessibility();
    resize(9, 9);
    updateText();
}

QColor TShape::ToQColor(uint32_t colorRef)
{
    return QColor(colorRef & 0xFF, (colorRef >> 8) & 0xFF, (colorRef >> 16) & 0xFF);
}

TShape::State TShape::state() const
{
    if (brushColor_ == clRed)
        return State::Busy;
    if (unusable_)
        return State::Unusable;
    return brushColor_ == clLime ? State::Ready : State::NoCard;
}

QString TShape::StateText(State state)
{
    switch (state) {
    case State::NoCard: return QStringLiteral("カードなし");
    case State::Ready: return QStringLiteral("カードあり（使用可能）");
    case State::Busy: return QStringLiteral("転送中");
    case State::Unusable: return QStringLiteral("使用できないカード");
    }
    return QString();
}

QString TShape::lampText() const
{
    const QString s = StateText(state());
    return slotLabel_.isEmpty() ? s : slotLabel_ + QStringLiteral(": ") + s;
}

void TShape::setBrushColor(uint32_t colorRef)
{
    if (brushColor_ == colorRef)
        return;
    brushColor_ = colorRef;
    updateText();
    repaint();  // the lamp must follow at once, not on the next paint cycle
}

void TShape::setSlotLabel(const QString &label)
{
    if (slotLabel_ == label)
        return;
    slotLabel_ = label;
    updateText();
}

void TShape::setCardUnusable(bool unusable)
{
    if (unusable_ == unusable)
        return;
    unusable_ = unusable;
    updateText();
    repaint();
}

void TShape::updateText()
{
    const QString text = lampText();
    if (text == accessibleName())
        return;
    // Sends the name-change event: screen readers learn of it without polling.
    setAccessibleName(text);
    setToolTip(text);
    emit lampTextChanged(text);
}

void TShape::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor fill = ToQColor(brushColor_);
    const int d = qMin(width(), height()) - 1;
    const QRectF circle(0.5, 0.5, d, d);
    switch (state()) {
    case State::Ready:
        p.setPen(QPen(Qt::black, 1));
        p.setBrush(fill);
        p.drawEllipse(circle);
        break;
    case State::Busy:
        // A heavy dark ring: red is as light as grey, so the ring tells it apart.
        p.setPen(QPen(Qt::black, 2));
        p.setBrush(fill);
        p.drawEllipse(circle.adjusted(0.5, 0.5, -0.5, -0.5));
        break;
    case State::NoCard:
        // Hollow: only the ring, in the lamp's colour.
        p.setPen(QPen(fill, 1.5));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(circle.adjusted(0.25, 0.25, -0.25, -0.25));
        break;
    case State::Unusable: {
        p.setPen(QPen(Qt::black, 1));
        p.setBrush(fill);
        p.drawEllipse(circle);
        const qreal a = 0.3 * d + 0.5, b = 0.7 * d + 0.5;
        p.setPen(QPen(Qt::black, 1.5));
        p.drawLine(QPointF(a, a), QPointF(b, b));
        p.drawLine(QPointF(a, b), QPointF(b, a));
        break;
    }
    }
}
