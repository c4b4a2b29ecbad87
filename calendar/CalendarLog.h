// Where the calendar evaluation writes its log lines: through the logger of
// the control that runs the current update pass, and only while that pass has
// logging switched on. The values of a line are computed only when the line
// will be written.
#pragma once

#include <atomic>

#include "module/AXLogger.h"

class CalendarLog {
 public:
  // The control's logger and the log switch (the low byte of its flags).
  static void Route(CAXLogger* logger, BYTE enabled) {
    Logger().store(logger, std::memory_order_release);
    Switch().store(enabled, std::memory_order_release);
  }
  // The logger to write a line of this level to, or nullptr.
  static CAXLogger* For(DWORD level) {
    if (Switch().load(std::memory_order_acquire) == 0) return nullptr;
    CAXLogger* logger = Logger().load(std::memory_order_acquire);
    if (logger == nullptr) return nullptr;
    const DWORD flags = logger->Settings().m_debugFlags.load(std::memory_order_relaxed);
    return (level & flags) == level ? logger : nullptr;
  }
  static bool Enabled(DWORD level) { return For(level) != nullptr; }

 private:
  static std::atomic<CAXLogger*>& Logger() {
    static std::atomic<CAXLogger*> logger{nullptr};
    return logger;
  }
  static std::atomic<BYTE>& Switch() {
    static std::atomic<BYTE> enabled{0};
    return enabled;
  }
};

// Writes one line when it would pass; the arguments are evaluated only then.
#define CAL_LOG(level, ...)                                              \
  do {                                                                   \
    if (CAXLogger* calLog_ = CalendarLog::For(level)) calLog_->Log(level, __VA_ARGS__); \
  } while (0)
