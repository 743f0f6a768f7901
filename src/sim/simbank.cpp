#include "sim/simbank.h"

#include "logging.h"

#include <QDir>

namespace vell::sim {

SimBank::SimBank(const QString &dir, QObject *parent) : QObject(parent), m_dir(dir) {}

SimBank::~SimBank() = default; // each programmer removes its own link

QString SimBank::linkPath(const QString &dir, int com)
{
    return QDir(dir).filePath(QStringLiteral("COM%1").arg(com));
}

PtyProgrammer *SimBank::add(int com, const DeviceOptions &options)
{
    if (com < 1 || com > 15) {
        m_error = QStringLiteral("COM%1 is not a port number from 1 to 15").arg(com);
        return nullptr;
    }
    if (m_programmers.count(com)) {
        m_error = QStringLiteral("COM%1 is already simulated").arg(com);
        return nullptr;
    }
    auto p = PtyProgrammer::create(linkPath(m_dir, com), options, &m_error);
    if (!p)
        return nullptr;
    PtyProgrammer *raw = p.get();
    m_programmers.emplace(com, std::move(p));
    return raw;
}

PtyProgrammer *SimBank::programmer(int com) const
{
    const auto it = m_programmers.find(com);
    return it == m_programmers.end() ? nullptr : it->second.get();
}

QList<int> SimBank::comPorts() const
{
    QList<int> ports;
    for (const auto &entry : m_programmers)
        ports.append(entry.first);
    return ports;
}

} // namespace vell::sim
