#pragma once
// The process being asked to end (SIGTERM from the service manager, SIGINT
// from a terminal), delivered as an ordinary call on the event loop.

#include <QObject>
#include <functional>

// Calls accion on the thread of contexto, from its event loop, each time the
// process is asked to end. Install once. False when it could not be installed.
bool AlPedirTerminar(QObject *contexto, std::function<void()> accion);
