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
    // Disabled buttons keep the colour and a dark caption: every control of
    // the page is disabled, and colour and caption are what the operator
    // reads.
    const QColor text = QApplication::palette().color(QPalette::Active, QPalette::WindowText);
    setStyleSheet(QStringLiteral("QRadioButton { background-color: %1; color: %2; }")
                      .arg(colour.name(), text.name()));
}
