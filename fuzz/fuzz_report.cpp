// The shift report's reader on arbitrary bytes: no crash, no hang; the same figures however
// the bytes are cut into chunks; figures that hold together (OK within the tries, the failure
// groups adding up to the failures, a median within the longest, first before last); and the
// record's fast reader reading every line it vouches for as QJsonDocument does.
#include "core/report/shiftreport.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

using vell::report::ProgrammerTally;
using vell::report::ShiftReport;

namespace {

void check(bool holds)
{
    if (!holds)
        std::abort();
}

QByteArray figures(const ShiftReport &r)
{
    QByteArray out = QByteArray::number(r.records()) + ' ' + QByteArray::number(r.malformed()) +
                     ' ' + QByteArray::number(r.lines());
    for (const ProgrammerTally *t : r.programmers()) {
        out += '|' + QByteArray::number(t->com()) + t->location().toUtf8() + '/' +
               t->usbSerial().toUtf8() + ' ' + QByteArray::number(t->tries()) + ' ' +
               QByteArray::number(t->ok()) + ' ' + QByteArray::number(t->skipped());
        for (const ProgrammerTally::Failure &f : t->failures())
            out += ' ' + QByteArray::number(f.count) + f.result.toUtf8();
        for (const ProgrammerTally::Step &s : t->steps())
            out += ' ' + QByteArray::number(s.durations.median().value_or(-1));
    }
    return out;
}

void checkTallies(const ShiftReport &r)
{
    qint64 counted = 0;
    for (const ProgrammerTally *t : r.programmers()) {
        counted += t->tries() + t->skipped();
        check(t->ok() >= 0 && t->ok() <= t->tries() && t->retries() <= t->tries());
        qint64 failures = 0;
        for (const ProgrammerTally::Failure &f : t->failures()) {
            check(f.count > 0 && f.texts.size() <= ProgrammerTally::kMaxTexts);
            failures += f.count;
        }
        check(failures == t->failed());
        check(int(t->failures().size()) <= ProgrammerTally::kMaxFailureGroups + 1);
        qint64 stepTries = 0;
        for (const ProgrammerTally::Step &s : t->steps()) {
            stepTries += s.tries;
            check(s.ok <= s.tries && s.durations.count() <= s.tries);
            if (s.durations.count() > 0)
                check(*s.durations.median() <= *s.durations.longest());
        }
        check(stepTries <= t->tries());
        check(t->first().has_value() == t->last().has_value());
        if (t->first())
            check(*t->first() <= *t->last());
    }
    check(counted == r.records());
    check(r.records() + r.malformed() <= r.lines());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    ShiftReport whole;
    whole.addBytes(bytes);
    whole.finish();
    checkTallies(whole);

    // Cut into chunks of a length the first byte chooses.
    const qsizetype step = size > 0 ? qsizetype(data[0] % 13) + 1 : 1;
    ShiftReport cut;
    for (qsizetype at = 0; at < bytes.size(); at += step)
        cut.addBytes(bytes.sliced(at, std::min(step, bytes.size() - at)));
    cut.finish();
    check(figures(cut) == figures(whole));

    for (const QByteArrayView line :
         QByteArray::fromRawData(bytes.data(), bytes.size()).split('\n')) {
        using vell::record::AttemptRecord;
        if (const std::optional<AttemptRecord> fast = AttemptRecord::scan(line)) {
            const std::optional<AttemptRecord> general = AttemptRecord::parseJson(line);
            check(general && *general == *fast);
        }
    }
    return 0;
}
