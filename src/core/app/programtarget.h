#pragma once

#include "link/links.h"
#include "link/pane.h"
#include "link/programmerslot.h"

#include <QObject>

namespace vell::app {

/// The program-target command: has every programmer in use write the file it holds into its
/// target board. Fire-and-forget: it sends one "T" frame (once the operator acknowledged any
/// invalid port); the progress and the outcome arrive later through each link's reply handler.
class ProgramTarget : public QObject
{
    Q_OBJECT
public:
    ProgramTarget(link::ProgrammerSlots &programmerSlots, link::Links &links,
                  QObject *parent = nullptr);

    /// One press: clears the 28 reply flags, opens the links of the programmers in use with
    /// "Programming Target Board", forgets their last reply text, and sends the frame with the
    /// size fields of the last load. Bytes already waiting on a link are left for its handler.
    void run();

Q_SIGNALS:
    /// The frame went out to every programmer run() addressed.
    void frameSent();

private:
    /// After the links are open: forgets their last reply text and sends the frame.
    void send(const std::array<bool, link::kProgrammerCount> &targets);

    link::ProgrammerSlots &m_slots;
    link::Links &m_links;
};

} // namespace vell::app
