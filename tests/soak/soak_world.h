// What the soak drives the controls against: where the controls come from,
// the mail client and its calendar, the clock, and what is left at the end.
// Natively the controls are linked in and every service around them is a
// substitute; on Windows they come from the registered ZLMTessaro.dll, the
// calendar is the in-memory provider behind mapi32.dll and the mail client
// a stand-in outlook.exe that is started and stopped.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/com.h"

namespace soak {

enum class ControlKind { CalPresence, ActiveMon, MapiSearch };

struct Options {
  double seconds = 60;
  uint32_t seed = 0;
  bool log = false;         // the controls log every level (natively into a counter)
  bool reentry = true;      // the pages' handlers call back into the control
  int benchmark = 0;        // > 0: time passes over a benchmark calendar of this size instead
  int benchmarkPasses = 20;
};

// What the provider still has handed out.
struct Live {
  long sessions = 0;
  long objects = 0;
  long buffers = 0;
  bool None() const { return sessions == 0 && objects == 0 && buffers == 0; }
};

class World {
 public:
  virtual ~World() = default;
  virtual const char* Name() const = 0;
  // Loads the calendar (text in the calendar file form) before the first
  // control logs on; false when it cannot.
  virtual bool Start(const std::string& calendarText) = 0;
  virtual HRESULT Create(ControlKind kind, IDispatch** control) = 0;
  virtual void SetMailClient(bool running) = 0;
  // Moves the clock on (natively; the real clock cannot be moved).
  virtual void Advance(long seconds) = 0;
  // The page's message loop: delivers what the provider queued. Returns the
  // notifications delivered where that is known, else -1.
  virtual int Pump() = 0;
  // The mail client changes its calendar (called on the mail client's own
  // thread): adds the appointments of the text, or removes the oldest added.
  virtual bool AddMeetings(const std::string& calendarText) = 0;
  // Returns the number removed.
  virtual int RemoveOldest(int count) = 0;
  // Makes the next call of a random MAPI operation fail; returns what was armed.
  virtual std::string InjectFailure(std::mt19937& random) = 0;
  virtual void ClearFailures() = 0;
  virtual Live LiveNow() = 0;
  // Calendar scans made so far, where the provider counts them (else -1).
  virtual long Scans() = 0;
  // Once every control is gone: threads and handles left over, described.
  virtual std::vector<std::string> Leftovers() = 0;
  // A point of reference for Leftovers, taken once the world has warmed up.
  virtual void Baseline() {}

  // Runs while the address book dialog is up, where the world can tell.
  std::function<void()> duringDialog;
};

std::unique_ptr<World> MakeWorld(const Options& options);

}  // namespace soak
