#pragma once

#include "sim/deviceoptions.h"
#include "sim/ptyprogrammer.h"

#include <QList>
#include <QObject>
#include <QString>

#include <map>
#include <memory>

namespace vell::sim {

/// A set of simulated programmers whose links DIR/COMn live in one folder; runs in the
/// caller's event loop and removes its links when destroyed.
class SimBank : public QObject
{
    Q_OBJECT
public:
    explicit SimBank(const QString &dir, QObject *parent = nullptr);
    ~SimBank() override;

    /// Makes programmer COM com (1..15) with the link DIR/COMcom. Returns nullptr, with
    /// errorString() set, when the number is out of range, taken, or the pty cannot be made.
    PtyProgrammer *add(int com, const DeviceOptions &options = {});
    /// Removes programmer COM com and its link, so that the number can be simulated anew (a
    /// programmer plugged back into its socket under another device).
    void remove(int com) { m_programmers.erase(com); }
    /// The programmer on COM com, or nullptr.
    [[nodiscard]] PtyProgrammer *programmer(int com) const;
    /// The COM numbers in use, ascending.
    [[nodiscard]] QList<int> comPorts() const;
    [[nodiscard]] QString directory() const { return m_dir; }
    [[nodiscard]] QString errorString() const { return m_error; }
    /// DIR/COMn.
    [[nodiscard]] static QString linkPath(const QString &dir, int com);

private:
    QString m_dir;
    QString m_error;
    std::map<int, std::unique_ptr<PtyProgrammer>> m_programmers;
};

} // namespace vell::sim
