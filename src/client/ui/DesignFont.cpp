#include "DesignFont.h"

#include <QFontMetrics>
#include <QLabel>
#include <QStringList>

QFont designFont()
{
    QFont font;
    // Faces built like the design one first, with widths close to it; a face of a widely
    // installed family last, so that no face at all is left to the matcher's own choice.
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"), QStringLiteral("Arial"),
                      QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    return font;
}

void fitLabelBeside(QLabel* label, QWidget* control)
{
    const QRect design = label->geometry();
    const int needed = label->fontMetrics().horizontalAdvance(label->text()) + design.width() -
                       label->contentsRect().width();
    const int extra = needed - design.width();
    if (extra <= 0) return;
    label->setGeometry(design.adjusted(0, 0, extra, 0));
    control->setGeometry(control->geometry().adjusted(extra, 0, 0, 0));
}
