#pragma once

#include <QLocalServer>
#include <QObject>
#include <QPointer>
#include <QString>

QT_BEGIN_NAMESPACE
class QWidget;
QT_END_NAMESPACE

// One program per workstation, whatever the user: two windows would drive the same
// pumps, each blind to the other's loops. The first start holds a lock that every
// local user's start sees, and listens for the same user's later starts, which ask
// it to bring its window to the front and then end.
class SingleInstance final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SingleInstance)

public:
    SingleInstance();
    ~SingleInstance() override;

    // True for the first start on the workstation. The kernel lets go of the lock
    // when its program ends, however it ends, so no lock is ever left stale.
    bool acquire();
    // For a later start: the line that says why it ends.
    QString refusal() const;
    // For a later start: asks the running program to show its window, when it is
    // this user's.
    void raiseRunning();
    // For the first start: the window a later start brings to the front.
    void setWindow(QWidget *window);

private:
    void raiseWindow();

    QString lockPath;
    QString socketPath;
    int lockFile = -1;
    QString holder; // the user whose program holds the lock
    QString lockError;
    QLocalServer server;
    QPointer<QWidget> window;
};
