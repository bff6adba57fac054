#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>

QT_BEGIN_NAMESPACE
class QLabel;
class QMainWindow;
QT_END_NAMESPACE

class History;
class HistoryPanel;

// The history's part of the main window: View > History, File > Export history… and
// the status bar's word when the history cannot be written. The History panel, its
// model and its first page are made the first time they are wanted, not at start.
class HistoryMenus final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HistoryMenus)

public:
    HistoryMenus(History *history, const QStringList &cabinets, QMainWindow *window);

    // Made on the first call.
    HistoryPanel *panel();
    bool hasPanel() const { return made != nullptr; }
    // Where File > Export history… writes without asking; for tests.
    void setExportTarget(const QString &path) { exportTarget = path; }

private:
    void showHistory(bool on);
    void exportHistory();
    void exported(int ticket, qint64 count, const QString &error);
    void showUnavailable(const QString &reason);

    History *history;
    QStringList cabinets;
    QMainWindow *window;
    HistoryPanel *made = nullptr;
    QPointer<QLabel> stateLabel; // in the window's status bar
    QString exportTarget;
    int exportTicket = 0;
    QString exportingTo;
};
