#include "app/ColourRadioButton.h"

#include <QApplication>
#include <QPalette>

QColor clBtnFace() {
    return QApplication::palette().color(QPalette::Active, QPalette::Button);
}

TColourRadioButton::TColourRadioButton(const QString& text, const QString& objectName,
                                       QWidget* parent)
    : QRadioButton(text, parent) {
    setObjectName(objectName);
    SetColour(clBtnFace());
}

void TColourRadioButton::SetColour(const QColor& colour) {
    if (colour == FColour && !styleSheet().isEmpty()) return;
    FColour = colour;
    // Disabled buttons keep the colour: every control of the page is
    // disabled, and the colour is what the operator reads.
    setStyleSheet(QStringLiteral("QRadioButton { background-color: %1; }").arg(colour.name()));
}
