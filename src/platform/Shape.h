// The slot lamp: a 9x9 circle whose brush colour is a Windows colour value
// (0x00BBGGRR), kept as such so that callers and tests read it back.
// Colour is not the only cue: each state is drawn in its own shape, so that
// the lamps are told apart in greyscale and by a colour-blind eye (filled:
// card ready; heavy dark ring: busy; hollow: no card; cross: unusable card),
// and the lamp names its slot and state to screen readers and in its tooltip.
#pragma once

#include <QWidget>
#include <cstdint>

enum : uint32_t {
    clRed = 255,
    clLime = 65280,
    clGray = 8421504,
};

class TShape : public QWidget {
    Q_OBJECT
public:
    explicit TShape(QWidget *parent = nullptr);

    uint32_t brushColor() const { return brushColor_; }
    void setBrushColor(uint32_t colorRef);

    static QColor ToQColor(uint32_t colorRef);
    // Lamps read as labels of their state; call before the first lamp is made.
    static void InstallAccessibility();

    // What the lamp says, from its colour and whether its card can be used:
    // red is busy, lime a usable card, grey no card.
    enum class State { NoCard, Ready, Busy, Unusable };
    State state() const;
    static QString StateText(State state);

    // The slot as the unit labels it ("スロット 3", "VD", "Master").
    void setSlotLabel(const QString &label);
    QString slotLabel() const { return slotLabel_; }
    // A card is in the slot that the program cannot use (sector size, no heads).
    void setCardUnusable(bool unusable);
    bool cardUnusable() const { return unusable_; }

    // "スロット 3: カードあり（使用可能）": accessible name and tooltip.
    QString lampText() const;

signals:
    // The lamp's text changed; the slot button says the same.
    void lampTextChanged(const QString &text);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void updateText();

    uint32_t brushColor_ = clGray;
    QString slotLabel_;
    bool unusable_ = false;
};
