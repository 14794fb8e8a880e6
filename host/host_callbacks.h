#pragma once

#include <string>

namespace Application {
class InterfaceBase;
}

// The host's component callback: reacts to the skin, translation, paths and
// notifier components as each one starts. Always returns true.
bool OnComponentStarted(Application::InterfaceBase* component);

// The host's crash callback, called by the crash reporter on its own thread
// after a dump was written; context is unused.
void OnCrashDumpWritten(const wchar_t* dump_path, void* context);

// The host's quit callback: ends the event loop; the flag is ignored. Notes
// "quit requested" as the reason unless one was noted before.
void OnQuitRequested(bool flag);

// Why the event loop is about to end ("SIGTERM", ...); the first reason noted
// stays. Main thread.
void NoteQuitReason(const char* reason);
// The reason noted, or, when none was, the event loop's own end and code.
std::string QuitReason(int exit_code);
