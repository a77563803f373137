// The slot lamp: a 9x9 circle whose brush colour is a Windows colour value
// (0x00BBGGRR), kept as such so that callers and tests read it back.
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

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    uint32_t brushColor_ = clGray;
};
