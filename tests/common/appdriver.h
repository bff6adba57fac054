#pragma once

#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <memory>

QT_BEGIN_NAMESPACE
class QListView;
class QObject;
class QPushButton;
class QTemporaryDir;
QT_END_NAMESPACE

class AppController;
class Cabinet;
class HistoryPanel;
class MainWindow;
class RotorWidget;
class SimCabinet;

// The whole program against thirteen simulated cabinets at the installation's
// addresses, driven through its window as an operator would. Only inside the
// private network namespace. Without a simParent the cabinets are served by a
// simulator process of their own. The program keeps its settings in settingsFolder,
// or in a fresh folder of the driver's own: never in the user's. Its history is
// written in a folder of its own, prepared by beforeStart if given.
class AppDriver final
{
public:
    explicit AppDriver(QObject *simParent, const QString &settingsFolder = QString(),
                       const std::function<void()> &beforeStart = nullptr);
    ~AppDriver();

    AppController *controller() const { return app.get(); }
    // The program ends as after its last window closed; the history stays to be read.
    void endProgram();
    QString historyFile() const;
    HistoryPanel *historyPanel() const; // made at the first call, as View > History makes it

    MainWindow *window() const;
    QListView *list() const;
    RotorWidget *panel(int number) const; // rotor1 ... rotor4
    QPushButton *identifyButton() const;
    QString labelText(const char *name) const;
    Cabinet *cabinet(int row) const;
    SimCabinet *sim(int row) const { return sims.at(row); }
    // Stands in for the cabinet's controller being restarted: a fresh simulator.
    SimCabinet *restartSim(int row);

    void click(int row, bool twice = false);
    void pressEnterOn(int row);
    // Double-click: the click shows the cabinet, the activation connects it.
    bool showConnected(int row);
    // Activates the first count rows and waits for them all; the first row that
    // did not connect, or -1.
    int connectFirst(int count);

private:
    Q_DISABLE_COPY_MOVE(AppDriver)
    QTemporaryDir dataHome;
    QObject *simParent;
    QList<SimCabinet *> sims; // row 0 is 10.0.85.10
    std::unique_ptr<QTemporaryDir> ownSettings;
    std::unique_ptr<AppController> app;
};
