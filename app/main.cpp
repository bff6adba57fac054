#include "appcontroller.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tavrel Control"));
    QApplication::setOrganizationName(QStringLiteral("Dosivo A/S"));
    QApplication::setOrganizationDomain(QStringLiteral("dosivo.com"));
    QApplication::setApplicationVersion(QStringLiteral("1.35"));

    AppController controller;
    return app.exec();
}
