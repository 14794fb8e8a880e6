#pragma once

// What the host does for its long options: the commands that print and exit
// (--list-plugins, --status) and the start options (--safe-mode,
// --retry-plugins). The option parsing itself is in command_line.h.

#include <QByteArray>

struct HostOptions;

// --help, --version, a usage error, --list-plugins and --status: prints,
// and returns the exit code. -1 for a start (the caller goes on). Nothing
// here touches the single-instance guard, starts the framework or logs.
int RunHostCommand(const HostOptions& options);

// Timeout of a --status query to the running instance.
inline constexpr int kStatusQueryTimeoutMs = 5000;

// --list-plugins: reads the configuration named by -plugin_config= (or the
// default one) without loading anything; 0 when it parsed, else 1.
int RunListPlugins(int argc, char** argv);

// --status: prints the running instance's plugin table; 1 with "Velmora is
// not running" when no instance of this user runs, 1 when it gave no answer.
// Call at the very start of main: it prepares the runtime directory itself.
int RunStatus(int argc, char** argv);

// The running instance's answer to a query on the single-instance channel.
// GUI thread.
QByteArray AnswerHostQuery(const QByteArray& name);

// Hands --safe-mode and --retry-plugins to the framework; before
// MakeNomalApplication.
void ApplyStartOptions(const HostOptions& options);
// The log lines that say how this run starts its plugins; called once the log
// runs, before any plugin is created.
void LogStartOptions();
// In safe mode, a small notice window when windows can be seen. GUI thread,
// once the event loop is about to run.
void ShowSafeModeNotice();
// The message for a start with start options that handed over to an instance
// already running instead; empty when none were given.
const char* HandOverNotice(const HostOptions& options);
