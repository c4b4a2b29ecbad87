// How the calendar presence control writes its log lines: through the logger
// of a given control (the instance itself, or the current control), and only
// while the class-wide log switch is on. The arguments of a line are
// evaluated only when it is written.
#pragma once

#include "calpresence/CalPresenceAX.h"

#define CP_LOG(control, level, ...)                                   \
  do {                                                                \
    if (CCalPresenceAX::m_logEnabled.load() != 0) {                   \
      if (CCalPresenceAX* cpLog_ = (control)) cpLog_->Log(level, __VA_ARGS__); \
    }                                                                 \
  } while (0)

#define CP_LOG_CURRENT(level, ...)                                       \
  do {                                                                   \
    if (CCalPresenceAX::m_logEnabled.load() != 0) {                      \
      const CalPresenceRef cpCurrent_ = CCalPresenceAX::CurrentControl(); \
      if (cpCurrent_) cpCurrent_->Log(level, __VA_ARGS__);               \
    }                                                                    \
  } while (0)
