#pragma once

#include <QDialog>
#include <QPointer>

QT_BEGIN_NAMESPACE
class QLabel;
class QMessageBox;
class QPushButton;
class QTreeWidget;
QT_END_NAMESPACE

class StopAll;
class StopRun;

// What became of a Stop all, or of one cabinet's stop: each rotor's outcome as it
// comes, shown till the operator dismisses it, and a retry for those not confirmed.
// Also builds the one question asked before Stop all.
class StopAllDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StopAllDialog)

public:
    StopAllDialog(StopRun *run, QWidget *parent);
    ~StopAllDialog() override;

    StopRun *run() const;
    // "Stop all 52 pumps on 13 connected cabinets?", Stop all the default button and
    // Cancel the escape; the cabinets not connected and their kept Stops are named.
    static QMessageBox *confirmation(const StopAll &stopAll, QWidget *parent);

private:
    void showRotor(int row);
    void showSummary();

    QPointer<StopRun> stopRun;
    QLabel *summaryLbl;
    QTreeWidget *rotorList;
    QPushButton *retryButton;
    QPushButton *closeButton;
};
