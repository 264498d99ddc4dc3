#pragma once

#include <QtGlobal>

// Ports on 127.0.0.1 for the local peers of the tests.
namespace LocalPorts {

// A port that nobody listens on right now; 0 when none could be had. Another
// program may take it before the caller does, so start the peer at once.
quint16 freePort();
// Whether something accepts connections on the port.
bool accepts(quint16 port);

} // namespace LocalPorts
