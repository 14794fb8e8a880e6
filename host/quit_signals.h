#pragma once

#include <functional>

// Routes SIGINT and SIGTERM to on_quit (with the signal's number) on the GUI
// thread, through a self-pipe watched by the event loop, so Ctrl-C or a
// service stop runs the normal quit path and the whole teardown. Call once,
// after QApplication exists and before start-up work that may take long: a
// signal that comes meanwhile waits in the pipe until the event loop runs.
void InstallQuitSignalHandlers(std::function<void(int signal_number)> on_quit);
