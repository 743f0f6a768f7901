// vell-programmer-sim: simulated programmers on pseudo-terminals, until SIGTERM or SIGINT.
#include "app/terminationwatcher.h"
#include "sim/simbank.h"
#include "sim/texts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringList>

#include <cstdio>
#include <map>

using namespace vell::sim;

namespace {

struct Arguments
{
    QString portsDir;
    QString recordDir;
    bool help = false;
    std::map<int, DeviceOptions> programmers;
};

void print(FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

bool parseArguments(const QStringList &args, Arguments *out, QString *error)
{
    static const QRegularExpression portPattern(QStringLiteral("^COM(\\d+)(?::(.*))?$"),
                                                QRegularExpression::CaseInsensitiveOption);
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            out->help = true;
        } else if (a == QLatin1String("--ports") || a == QLatin1String("--record")) {
            if (i + 1 >= args.size()) {
                *error = texts::kMissingValue.arg(a);
                return false;
            }
            (a == QLatin1String("--ports") ? out->portsDir : out->recordDir) = args.at(++i);
        } else if (a.startsWith(QLatin1Char('-'))) {
            *error = texts::kUnknownOption.arg(a);
            return false;
        } else {
            const QRegularExpressionMatch m = portPattern.match(a);
            const int com = m.hasMatch() ? m.captured(1).toInt() : 0;
            if (com < 1 || com > 15) {
                *error = texts::kBadPortName.arg(a);
                return false;
            }
            if (out->programmers.count(com)) {
                *error = texts::kDuplicatePort.arg(com);
                return false;
            }
            QString switchError;
            const auto options = DeviceOptions::parse(m.captured(2), &switchError);
            if (!options) {
                *error = QStringLiteral("COM%1: %2").arg(com).arg(switchError);
                return false;
            }
            out->programmers.emplace(com, *options);
        }
    }
    if (out->help)
        return true;
    if (out->portsDir.isEmpty()) {
        *error = texts::kNoPortsDir;
        return false;
    }
    if (out->programmers.empty()) {
        *error = texts::kNoProgrammers;
        return false;
    }
    return true;
}

// Writes what a programmer received, for scripts that compare it with the program file.
void record(const QString &dir, int com, const QByteArray &image)
{
    QSaveFile file(QDir(dir).filePath(QStringLiteral("COM%1.bin").arg(com)));
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size() || !file.commit())
        print(stderr, texts::kRecordFailed.arg(file.fileName(), file.errorString()) + u'\n');
}

// Appends one line to what a programmer was sent, so scripts can tell which loads reached it.
void logLine(const QString &dir, int com, const QString &line)
{
    QFile file(QDir(dir).filePath(QStringLiteral("COM%1.log").arg(com)));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) ||
        file.write((line + u'\n').toUtf8()) < 0)
        print(stderr, texts::kRecordFailed.arg(file.fileName(), file.errorString()) + u'\n');
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Arguments args;
    QString error;
    if (!parseArguments(app.arguments(), &args, &error)) {
        print(stderr,
              QStringLiteral("vell-programmer-sim: ") + error + u'\n' + texts::kUsageHint + u'\n');
        return 2;
    }
    if (args.help) {
        print(stdout, texts::kHelp);
        return 0;
    }
    for (const QString &dir : {args.portsDir, args.recordDir}) {
        if (!dir.isEmpty() && !QDir().mkpath(dir)) {
            print(stderr, QStringLiteral("vell-programmer-sim: ") +
                              texts::kCannotCreateDir.arg(dir) + u'\n');
            return 1;
        }
    }

    // Watch for signals before any link exists, so none is left behind.
    vell::app::TerminationWatcher watcher;
    QObject::connect(&watcher, &vell::app::TerminationWatcher::terminationRequested, &app,
                     &QCoreApplication::quit);
    SimBank bank(args.portsDir);
    for (const auto &[com, options] : args.programmers) {
        PtyProgrammer *p = bank.add(com, options);
        if (!p) {
            print(stderr, QStringLiteral("vell-programmer-sim: ") + bank.errorString() + u'\n');
            return 1;
        }
        const QString switches = options.toString();
        print(stdout, texts::kProgrammerLine.arg(com).arg(
                          p->linkPath(), p->slavePath(),
                          switches.isEmpty() ? QString() : QStringLiteral(" [%1]").arg(switches)) +
                          u'\n');
        if (!args.recordDir.isEmpty()) {
            const SimDevice *device = p->device();
            QObject::connect(device, &SimDevice::loadCompleted, &bank,
                             [dir = args.recordDir, com = com, device](bool ok) {
                                 record(dir, com, device->image());
                                 logLine(
                                     dir, com,
                                     QStringLiteral("load %1 bytes %2")
                                         .arg(device->image().size())
                                         .arg(ok ? QStringLiteral("ok") : QStringLiteral("error")));
                             });
            QObject::connect(device, &SimDevice::frameReceived, &bank,
                             [dir = args.recordDir, com = com](const QByteArray &frame) {
                                 logLine(dir, com,
                                         QStringLiteral("frame ") +
                                             QString::fromLatin1(frame.mid(2, 1)));
                             });
        }
    }
    return app.exec(); // the bank removes its links on the way out
}
