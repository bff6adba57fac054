#include "historycommand.h"

#include "history.h"
#include "historycsv.h"
#include "historydatabase.h"
#include "startup.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstring>

namespace {

const char *const ExportOption = "export-history";

void complain(const QString &text)
{
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationFilePath().section(QLatin1Char('/'), -1)),
                 qPrintable(text));
}

} // namespace

bool HistoryCommand::isRequested(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--export-history") == 0)
            return true;
    }
    return false;
}

int HistoryCommand::run(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Startup::setIdentity();

    QCommandLineParser parser;
    parser.setApplicationDescription(QCoreApplication::translate(
            "main", "Writes the history of what happened and who did it as CSV to standard output."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({QLatin1String(ExportOption),
                      QCoreApplication::translate("main", "Write the history as CSV and exit.")});
    parser.addOption({QStringLiteral("since"),
                      QCoreApplication::translate("main", "Only events at or after TIME (ISO 8601; a date alone "
                                                          "is its midnight, local time)."),
                      QStringLiteral("TIME")});
    parser.addOption({QStringLiteral("until"),
                      QCoreApplication::translate("main", "Only events before TIME."), QStringLiteral("TIME")});
    parser.process(app);

    HistoryFilter filter;
    for (const char *name : {"since", "until"}) {
        if (!parser.isSet(QLatin1String(name)))
            continue;
        qint64 &bound = std::strcmp(name, "since") == 0 ? filter.since : filter.until;
        const QString value = parser.value(QLatin1String(name));
        if (!HistoryCsv::parseTime(value, &bound)) {
            complain(QCoreApplication::translate("main", "--%1 takes an ISO 8601 date or date-time, not \"%2\"")
                             .arg(QLatin1String(name), value));
            return 2;
        }
    }

    QFile out;
    out.open(stdout, QIODevice::WriteOnly);
    const QString path = History::defaultFolder() + QLatin1Char('/') + History::fileName();
    if (!QFileInfo::exists(path)) {
        out.write(HistoryCsv::header()); // nothing recorded yet
        return 0;
    }
    HistoryDatabase db(path, HistoryDatabase::Mode::Read);
    QString error = db.errorText();
    if (db.isOpen() && HistoryCsv::write(db, filter, &out, &error) >= 0)
        return 0;
    complain(QCoreApplication::translate("main", "cannot export the history: %1").arg(error));
    return 1;
}
