#pragma once

#include "link/links.h"
#include "link/programmers.h"

#include <QObject>

namespace vell::app {

/// The program-target command: has every programmer in use write the image it holds into its
/// target board. Fire-and-forget: it sends one "T" frame (once the operator acknowledged any
/// invalid port); the progress and the verdicts arrive later through each link's reply handler.
/// A programmer whose last load of this run failed is left out: its step ends as skipped.
class ProgramTarget : public QObject
{
    Q_OBJECT
public:
    ProgramTarget(link::Programmers &programmers, link::Links &links, QObject *parent = nullptr);

    /// One press: forgets the replies of all four programmers, starts a step for each one in
    /// use, skips those whose last load failed, opens the others' links with "Programming
    /// Target Board", and sends them the frame with the size fields of the last load. Bytes
    /// already waiting on a link are left for its handler.
    void run();
    /// The same for the programmers in use among those given, a repeat of their last step:
    /// only their replies are forgotten, only they get a step and the frame.
    void runOn(const link::ProgrammerSet &programmers);

Q_SIGNALS:
    /// The frame went out to every programmer run() addressed.
    void frameSent();

private:
    void start(link::ProgrammerSet targets, bool again);

    link::Programmers &m_programmers;
    link::Links &m_links;
};

} // namespace vell::app
