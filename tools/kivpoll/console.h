// kivpoll's console while the driver runs: the runtime stand-in's gate
// updates as rows, the driver's log lines and a progress line on a
// terminal, under one lock so that no two of them mix.
#pragma once

#include <functional>
#include <string>

#include "kivlink.h"
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
// Writes a line for people (a note in JSON) where the rows go.
void ShowNote(Output& output, const std::string& text);
// The pause between the start of the driver's listener thread (its first
// log line) and its first look at the line, in ms.
constexpr int kListenerStartPauseMs = KivListenerStartPauseMs;
// After this long with no gate update since the listener took the line,
// listening says that the unit may not be reporting by exception.
constexpr int kListenQuietNoteMs = 30000;
// Listens for seconds (0: until stop says so), with the progress line:
// says when the driver's listener takes the line (after its start pause),
// that it did, and, when nothing has arrived kListenQuietNoteMs after that
// or when listening ends, that the unit may not report by exception.
void Listen(Output& output, const Summary& summary, int seconds, const std::function<bool()>& stop);
// Closes the log file (a listener that did not stop in time may still log).
void CloseLog();

}  // namespace kivpoll
