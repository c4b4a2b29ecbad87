// A logger whose prefix and settings sub key are given at construction; used
// where no control owns the log (the command-line host and the tests).
#pragma once

#include "module/AXLogger.h"

class CNamedLogger : public CAXLogger {
 public:
  CNamedLogger(const WCHAR* prefix, const WCHAR* subKey) : CAXLogger(subKey), m_prefix(prefix) {}
  ~CNamedLogger() = default;

  int QueryLoggerFlag() override { return 1; }
  const WCHAR* GetLogPrefix() override { return m_prefix.c_str(); }

 private:
  WString m_prefix;
};
