#include "appcontroller.h"
#include "historycommand.h"
#include "mainwindow.h"
#include "singleinstance.h"
#include "startup.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

int main(int argc, char **argv)
{
    if (HistoryCommand::isRequested(argc, argv))
        return HistoryCommand::run(argc, argv);
    Startup::beforeApplication();
    QApplication app(argc, argv);
    Startup::setIdentity();

    SingleInstance instance;
    if (!instance.acquire()) {
        const QString text = instance.refusal();
        std::fprintf(stderr, "%s\n", qPrintable(text));
        instance.raiseRunning();
        // Only where someone can see it; a box nobody can close would hang the start.
        const QString platform = QGuiApplication::platformName();
        if (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal"))
            QMessageBox::warning(nullptr, QApplication::applicationName(), text);
        return 1;
    }

    AppController controller;
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (qobject_cast<MainWindow *>(window))
            instance.setWindow(window);
    }
    const int status = app.exec();
    return status != 0 ? status : controller.exitStatus();
}
