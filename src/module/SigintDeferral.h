// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// OBS 29.0 closes its main window straight from its SIGINT handler, so a Ctrl+C or a `kill -INT` runs OBS's
// whole exit inside whatever the main thread was doing: a deadlock on a lock the interrupted code held, or
// a crash in code that finds its objects gone. OBS 29.1 and later hand the signal to the main loop through a
// socket pair and close from there; in OBS before 29.1 the module does the same for it.
void deferSigintToMainLoop();

// At OBS's exit: a Ctrl+C no longer closes anything (OBS is closing already); the handler itself stays, since
// OBS's own would close the main window from inside the signal during the rest of OBS's exit.
void stopClosingOnSigint();
