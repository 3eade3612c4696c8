// The font the forms were designed with, and the fitting of a designed label to its text where a
// stand-in face runs wider than the design one.
#pragma once

#include <QFont>

class QLabel;
class QWidget;

// "MS Sans Serif", 11 pixels high. Where that face is missing (it is on Linux) the first of its
// stand-ins that is installed is used, else the system's sans-serif face.
QFont designFont();

// Widens the label to its text when the design width is too narrow, and moves the left edge of the
// control to its right by as much, so that both keep the gap and the right edge of the design.
// Main thread.
void fitLabelBeside(QLabel* label, QWidget* control);
