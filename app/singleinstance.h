#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QPointer>
#include <QString>

QT_BEGIN_NAMESPACE
class QWidget;
QT_END_NAMESPACE

// One program per user and workstation: two windows would drive the same pumps,
// each blind to the other's loops. The first start holds a lock and listens for
// later starts, which ask it to bring its window to the front and then end.
class SingleInstance final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SingleInstance)

public:
    SingleInstance();

    // True for the first start; a lock left by a program that died does not count.
    bool acquire();
    // For a later start: asks the running program to show its window.
    void raiseRunning();
    // For the first start: the window a later start brings to the front.
    void setWindow(QWidget *window);

private:
    void raiseWindow();

    QString directory;
    QLockFile lock;
    QLocalServer server;
    QPointer<QWidget> window;
};
