#pragma once

#include <QMainWindow>

QT_BEGIN_NAMESPACE
class QCloseEvent;
QT_END_NAMESPACE

// The program's only window; whether it may close is decided by whoever listens
// to canCloseWindow(), through the event's accepted flag.
class MainWindow final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindow)

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

signals:
    void canCloseWindow(QCloseEvent *event);

protected:
    void closeEvent(QCloseEvent *event) override;
};
