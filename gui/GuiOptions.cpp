#include "gui/GuiOptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include "gui/StationPrompts.h"
#include "platform/sim/LoaderEmulator.h"

QString GuiUsage() {
    return QStringLiteral(
        "usage: keystation [--home DIR] [--kdb FILE | --key-pool CONNINFO --pool NAME]\n"
        "                  [--simulate N [--sim-state DIR] [--sim-fault NAME=P]... "
        "[--sim-seed S]] [--start]");
}

QString GuiHelp() {
    return GuiUsage() +
           QStringLiteral(
               "\n\n"
               "  --home DIR           application folder (settings, logs, results)\n"
               "  --kdb FILE           load this key file once the window is up\n"
               "  --key-pool CONNINFO  draw keys from a shared key pool (with --pool)\n"
               "  --pool NAME          the key pool's name\n"
               "  --simulate N         practice mode: N simulated boards, no USB\n"
               "  --sim-state DIR      keep the simulated boards' storage in DIR\n"
               "  --sim-fault NAME=P   fault NAME with probability P (0..1) per "
               "command:\n"
               "                       status-lost, unplug, reset-never-returns, "
               "short-read, bad-tag\n"
               "  --sim-seed S         seed of the fault draws (default 1)\n"
               "  --start              press Start once the window is up\n"
               "  --help               print this and end\n");
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
    const QCommandLineOption simState(QStringLiteral("sim-state"), QString(),
                                      QStringLiteral("DIR"));
    const QCommandLineOption simFault(QStringLiteral("sim-fault"), QString(),
                                      QStringLiteral("NAME=P"));
    const QCommandLineOption simSeed(QStringLiteral("sim-seed"), QString(), QStringLiteral("S"));
    const QCommandLineOption help(QStringList{QStringLiteral("help"), QStringLiteral("h")});
    parser.addOptions(
        {home, kdb, simulate, start, keyPool, pool, simState, simFault, simSeed, help});

    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments()[0]);
        return false;
    }
    if (parser.isSet(help)) {
        GuiOptions options;
        options.help = true;
        *out = std::move(options);
        return true;
    }
    for (const QCommandLineOption* once :
         {&home, &kdb, &simulate, &keyPool, &pool, &simState, &simSeed}) {
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
    if (parser.isSet(simState)) {
        options.sim.stateDir = PathFromQString(parser.value(simState));
        if (options.sim.stateDir.empty()) {
            *error = QStringLiteral("--sim-state needs a folder");
            return false;
        }
    }
    for (const QString& fault : parser.values(simFault)) {
        std::string why;
        if (!ParseRandomFault(fault.toStdString(), &options.sim.faults, &why)) {
            *error = QStringLiteral("--sim-fault: %1").arg(QString::fromStdString(why));
            return false;
        }
    }
    if (parser.isSet(simSeed)) {
        bool ok = false;
        options.sim.seed = parser.value(simSeed).toULongLong(&ok, 10);
        if (!ok) {
            *error = QStringLiteral("--sim-seed takes a number");
            return false;
        }
    }
    if ((parser.isSet(simState) || parser.isSet(simFault) || parser.isSet(simSeed)) &&
        options.simulate < 0) {
        *error = QStringLiteral("--sim-state, --sim-fault and --sim-seed need --simulate N");
        return false;
    }
    options.start = parser.isSet(start);
    *out = std::move(options);
    return true;
}
