#pragma once

namespace vesk {

// Tells the service manager that started the daemon that it is ready (its
// socket listens), as sd_notify(3) with "READY=1" does: one datagram to the
// socket that $NOTIFY_SOCKET names: an absolute path, or an abstract name
// written with "@" for its NUL (up to the whole of sun_path); any other
// name is ignored.
// Nothing to do, and true, when that is unset: the daemon was not started
// as a Type=notify service. False when the notification was not sent.
bool notify_ready();

}  // namespace vesk
