#pragma once
// A radio button whose colour shows on every widget style: the colour is
// painted as the button's background through a style sheet, which Fusion,
// the platform styles and the offscreen platform all honour (a palette
// colour alone is ignored by several styles).

#include <QColor>
#include <QRadioButton>

// The colours of the live view.
inline const QColor clRed(255, 0, 0);
inline const QColor clLime(0, 255, 0);
// The system's button-face colour.
QColor clBtnFace();

class TColourRadioButton : public QRadioButton {
    Q_OBJECT
  public:
    TColourRadioButton(const QString& text, const QString& objectName, QWidget* parent);

    // The colour last set; the button face until then.
    QColor Colour() const { return FColour; }
    void SetColour(const QColor& colour);

  private:
    QColor FColour;
};
