#include "gui/GuiOptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include "gui/StationPrompts.h"

QString GuiUsage() {
    return QStringLiteral(
        "usage: keystation [--home DIR] [--kdb FILE | --key-pool CONNINFO --pool NAME] "
        "[--simulate N] [--start]");
}

bool ParseGuiOptions(const QStringList& arguments, GuiOptions* out, QString* error) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption home(QStringLiteral("home"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption kdb(QStringLiteral("kdb"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption simulate(QStringLiteral("simulate"), QString(), QStringLiteral("N"));
    const QCommandLineOption start(QStringLiteral("start"));
    const QCommandLineOption keyPool(QStringLiteral("key-pool"), QString(),
                                     QStringLiteral("CONNINFO"));
    const QCommandLineOption pool(QStringLiteral("pool"), QString(), QStringLiteral("NAME"));
    parser.addOptions({home, kdb, simulate, start, keyPool, pool});

    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments()[0]);
        return false;
    }
    for (const QCommandLineOption* once : {&home, &kdb, &simulate, &keyPool, &pool}) {
        if (parser.values(*once).size() > 1) {
            *error = QStringLiteral("--%1 given more than once").arg(once->names()[0]);
            return false;
        }
    }

    GuiOptions options;
    if (parser.isSet(home)) {
        options.home = PathFromQString(parser.value(home));
        if (options.home.empty()) {
            *error = QStringLiteral("--home needs a folder");
            return false;
        }
    }
    if (parser.isSet(kdb)) {
        options.keyFile = PathFromQString(parser.value(kdb));
        if (options.keyFile->empty()) {
            *error = QStringLiteral("--kdb needs a file");
            return false;
        }
    }
    if (parser.isSet(keyPool) != parser.isSet(pool) ||
        (parser.isSet(keyPool) && parser.isSet(kdb))) {
        *error = QStringLiteral("--key-pool needs --pool, and not --kdb");
        return false;
    }
    if (parser.isSet(keyPool)) {
        options.keyPool = parser.value(keyPool).toStdString();
        options.poolName = parser.value(pool).toStdString();
    }
    if (parser.isSet(simulate)) {
        bool ok = false;
        const int n = parser.value(simulate).toInt(&ok, 10);
        if (!ok || n < 0 || n > kMaxSimulatedDevices) {
            *error = QStringLiteral("--simulate takes 0..%1").arg(kMaxSimulatedDevices);
            return false;
        }
        options.simulate = n;
    }
    options.start = parser.isSet(start);
    *out = std::move(options);
    return true;
}
