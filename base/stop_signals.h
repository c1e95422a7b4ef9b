#pragma once
// The signals that ask a program to stop (SIGINT, SIGTERM, SIGHUP), turned into an event
// on the Qt loop, so a program ends in order: the window saves its list, quorrel-scan
// prints its tree, quorrel-fetch keeps the bytes of the running transfer.

class QObject;
class QSocketNotifier;

namespace quorrel {

// A notifier, owned by parent, that fires once for every stop signal that arrives; nullptr
// when the program cannot watch them (they then keep their usual effect).
QSocketNotifier *WatchStopSignals(QObject *parent);

} // namespace quorrel
