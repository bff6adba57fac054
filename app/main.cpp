#include "appcontroller.h"
#include "startup.h"

#include <QApplication>

int main(int argc, char **argv)
{
    Startup::beforeApplication();
    QApplication app(argc, argv);
    Startup::setIdentity();

    AppController controller;
    return app.exec();
}
