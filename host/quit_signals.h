#pragma once

#include <functional>

// Routes SIGINT and SIGTERM to on_quit on the GUI thread (through a
// self-pipe watched by the event loop), so Ctrl-C or a service stop runs the
// normal quit path and the whole teardown. Call once, after QApplication exists.
void InstallQuitSignalHandlers(std::function<void()> on_quit);
