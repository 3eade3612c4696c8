#include "Application.h"

#include <QApplication>

void configureApplication()
{
    QApplication::setApplicationName(QString::fromUtf8(kProgramName));
}
