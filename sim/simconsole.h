#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class SimCabinet;

// The simulator's command language, as typed on its standard input.
class SimConsole final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SimConsole)

public:
    explicit SimConsole(QObject *parent = nullptr);

    void addCabinet(SimCabinet *cabinet);
    // Runs one command line and returns what to tell the user.
    QString execute(const QString &line);
    static QString help();

signals:
    void quitRequested();

private:
    QList<SimCabinet *> select(const QString &which, QString *error) const;
    QString apply(const QString &command, const QStringList &words, const QList<SimCabinet *> &targets);
    static QString status(const QList<SimCabinet *> &targets);

    QList<SimCabinet *> cabinets;
};
