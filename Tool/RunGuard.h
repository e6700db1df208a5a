// What keeps one run of the tool apart from other runs and whole: a lock on
// its working folder, an exclusive hold of its device, and the stop signals
// held while the card is out of its firmware. The lock and the hold end with
// the process, so no stale lock can block a later run.
#ifndef QEL_TOOL_RUNGUARD_H_
#define QEL_TOOL_RUNGUARD_H_

// Locks the working folder (the image set lives below it) for the life of
// the process, after checking that the run can write there. Prints why it
// refuses, on standard output only: the folder's "Display.log" belongs to
// the run that holds it. False when the run must stop at once.
bool ClaimWorkingFolder();

// Holds `node` open exclusively for the life of the process, so that a
// second run on the device, or a mounted file system on it, is refused.
// Prints the refusal; false when the device is held elsewhere.
bool HoldDevice(const char* node);

// From the first command that takes the card out of its firmware until it
// runs firmware again, SIGHUP, SIGINT, SIGTERM and SIGQUIT wait; SIGPIPE is
// ignored for the whole run (see IgnoreBrokenPipe).
void HoldStopSignals();

// Lets the held signals act again. Returns the first one that arrived while
// they were held, after printing that it stopped the run (`cardBack`: the
// card runs its firmware again); 0 when none did.
int ReleaseStopSignals(bool cardBack);

// A write to a closed standard output (| head, a dropped session) must
// fail as a write, never stop the run.
void IgnoreBrokenPipe();

#endif  // QEL_TOOL_RUNGUARD_H_
