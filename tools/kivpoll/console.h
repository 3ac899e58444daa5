// kivpoll's console while the driver runs: the runtime stand-in's gate
// updates as rows, the driver's log lines and a progress line on a
// terminal, under one lock so that no two of them mix.
#pragma once

#include <string>

#include "tools/kivpoll/output.h"
#include "tools/kivpoll/summary.h"

namespace kivpoll {

// The runtime stand-in reports to this output while attached: gate updates
// as rows, the driver's log as the log options say, a progress line when
// asked.
void AttachRuntime(Output* output, Summary* summary, bool progress);
void DetachRuntime();
// The driver's log lines alone.
void AttachLog();
// Stops every client wait and, when a listener runs, gives it time to end.
void StopListeners(bool listening);
void SetProgress(const Summary& summary, const std::string& what);
// Writes a request's row and counts it.
void ShowResult(Output& output, Summary& summary, const ResultRow& row);
// Closes the log file (a listener that did not stop in time may still log).
void CloseLog();

}  // namespace kivpoll
