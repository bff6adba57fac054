#pragma once

#include "recovery.h"

#include <QDialog>
#include <QPointer>

QT_BEGIN_NAMESPACE
class QLabel;
class QPushButton;
class QTreeWidget;
QT_END_NAMESPACE

// Asks the operator what becomes of the loops a program that died left behind:
// each rotor with its loop settings and what it does now, and three choices. Only
// a choice ends it.
class RecoveryDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RecoveryDialog)

public:
    RecoveryDialog(Recovery *recovery, QWidget *parent);

    Recovery *recovery() const { return model; }
    static QString awayText(qint64 secs);

public slots:
    void reject() override;

private:
    void choose(Recovery::Choice choice);
    void showStopProgress(int confirmed, int total);
    void finish(const QStringList &mayStillRun);

    QPointer<Recovery> model;
    QLabel *introLbl;
    QTreeWidget *rotorList;
    QLabel *progressLbl;
    QPushButton *resumeButton;
    QPushButton *stopButton;
    QPushButton *leaveButton;
};
