#pragma once

#include <Application/InterfaceBase.h>

namespace Application {

enum LogLevel { kLogError = 100, kLogWarning = 200, kLogInfo = 300, kLogDebug = 400 };

// Leveled logging to one file per process run. Write formats on the caller's
// thread and hands the line to the log's own writer thread; levels above 300
// and unknown levels are dropped. Callable from any thread at any time.
class ILog : public InterfaceBase {
public:
    [[gnu::format(printf, 3, 4)]] virtual void Write(int level, const char* format, ...) = 0;
};

}  // namespace Application
