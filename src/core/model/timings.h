#pragma once

namespace vell::model {

/// The intervals of the search, the load and the watchdog, each set once here. The defaults
/// are what ships; tests inject short ones.
struct Timings
{
    /// The load frame is repeated at this period until every programmer is ready.
    int handshakeMs = 1000;
    /// The watchdog ends a load whose programmers were not all ready by then.
    int watchdogMs = 15000;
    /// A link that takes no byte for this long drops out of a stream.
    int stallMs = 5000;
    /// The search's step: a port is judged one tick after it was opened.
    int searchTickMs = 100;
};

} // namespace vell::model
