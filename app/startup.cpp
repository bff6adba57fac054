#include "startup.h"

#include <QApplication>

void Startup::beforeApplication()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Qt 5 draws at one device pixel per logical pixel unless told otherwise, which
    // leaves the window tiny on a high-resolution screen; Qt 6 always scales.
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#endif
}

void Startup::setIdentity()
{
    QApplication::setApplicationName(QStringLiteral("Tavrel Control"));
    QApplication::setOrganizationName(QStringLiteral("Dosivo A/S"));
    QApplication::setOrganizationDomain(QStringLiteral("dosivo.com"));
    QApplication::setApplicationVersion(QStringLiteral(TAVREL_VERSION));
}
