#include "SlotAccess.h"

#include "Shape.h"
#include "UnitState.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QMetaObject>
#include <QToolButton>

namespace {
// The slot buttons are checkable tool buttons (the open slot's stays down),
// which screen readers would present as check boxes whose action toggles.
// They are push buttons: pressing one opens the slot, as a click does.
class SlotButtonAccessible : public QAccessibleWidget {
public:
    explicit SlotButtonAccessible(QWidget *w) : QAccessibleWidget(w, QAccessible::Button) {}

    QToolButton *button() const { return static_cast<QToolButton *>(widget()); }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.pressed = button()->isDown() || button()->isChecked();
        return s;
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
            return button()->text();
        if (t == QAccessible::Description) {
            // The caption is the drive letter ("E:"), read after the state.
            QString d = widget()->accessibleName() + QStringLiteral("。押すとカードアクセス画面を開きます");
            const QString drive = button()->text();
            if (drive.size() > 1)
                d += QStringLiteral("（ドライブ %1）").arg(drive);
            return d;
        }
        return QAccessibleWidget::text(t);
    }

    QStringList actionNames() const override
    {
        QStringList names{pressAction()};
        if (widget()->focusPolicy() != Qt::NoFocus)
            names << setFocusAction();
        return names;
    }

    void doAction(const QString &name) override
    {
        if (name != pressAction()) {
            QAccessibleWidget::doAction(name);
            return;
        }
        if (!widget()->isEnabled())
            return;
        // Later, from the event loop: the click opens a modal dialog, and the
        // screen reader's call must return first.
        QMetaObject::invokeMethod(button(), &QAbstractButton::click, Qt::QueuedConnection);
    }

    QStringList keyBindingsForAction(const QString &) const override { return {}; }
};

QAccessibleInterface *slotButtonFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("QToolButton") && object &&
        object->objectName().startsWith(QLatin1String("sbtSlot")))
        return new SlotButtonAccessible(static_cast<QWidget *>(object));
    return nullptr;
}

void applyToButton(QToolButton *button, const QString &lampText)
{
    button->setAccessibleName(lampText);
    button->setToolTip(lampText);
}
} // namespace

QString SlotAccessLabel(uint32_t modelKind, uint32_t slot)
{
    if (slot == 0)
        return QStringLiteral("VD");
    if (modelKind == ModelTvq206)
        return slot == 1 ? QStringLiteral("Master") : QStringLiteral("スロット %1").arg(slot - 1);
    return slot == 1 ? QStringLiteral("スロット 1（Master）") : QStringLiteral("スロット %1").arg(slot);
}

void InstallSlotAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(slotButtonFactory);
        return true;
    }();
    (void)installed;
    TShape::InstallAccessibility();
}

void BindSlotAccess(QToolButton *button, TShape *lamp)
{
    InstallSlotAccessibility();
    if (!button || !lamp)
        return;
    QObject::connect(lamp, &TShape::lampTextChanged, button,
                     [button](const QString &text) { applyToButton(button, text); });
    applyToButton(button, lamp->lampText());
}

void RefreshSlotLamp(TShape *lamp, bool cardPresent, uint32_t sectorSize, uint32_t heads)
{
    if (lamp)
        lamp->setCardUnusable(cardPresent && (sectorSize != 512 || heads == 0));
}
