#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace vell::app {

/// Call before the application object is made: its event loop runs on Qt's own dispatcher,
/// not GLib's. GLib wakes its loop through an eventfd each time a socket notifier is switched
/// on or off, which a serial port does for every burst it writes: a fifth of a load's CPU on
/// four links. Nothing of the tool needs GLib's loop. A setting of QT_NO_GLIB already made is
/// kept.
inline void useQtEventDispatcher()
{
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", QByteArrayLiteral("1"));
}

} // namespace vell::app
