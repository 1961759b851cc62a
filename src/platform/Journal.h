#pragma once
// A copy of the console lines for the systemd journal. The daily log file takes standard error
// over, so a service's journal would otherwise see nothing past the start.
#include <QByteArray>

namespace kivo::journal {

// Whether console lines are to be copied: KIVO_LOG_TO_JOURNAL is "1" (the journal's socket)
// or the absolute path of a datagram socket, and standard error is not the journal already.
bool copying();
// One line, native journal protocol; dropped rather than waited for when the journal is busy.
void send(const QByteArray& line);

} // namespace kivo::journal
