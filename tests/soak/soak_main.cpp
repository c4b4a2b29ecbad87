// soak: drives the three controls the way pages and a mail client do, for a
// given time, and fails on anything that goes wrong.
//
//   soak SECONDS [--seed N] [--quiet] [--no-reentry]
//   soak --benchmark N [--passes P]
//
// One page thread runs two calendar presence pages (ticks, GetCalData, Quit,
// new controls, handlers that call back into the control from inside its
// events: GetCalData, Quit, CheckProcessChange, SetSite(NULL) and the page's
// final Release), the participant search and the away timer now and then,
// the mail client starting and stopping, notifications delivered by the
// page's message loop, and MAPI calls failing at random. A second thread is
// the mail client changing its calendar. Every event is checked as it
// arrives; now and then, and at the end, the controls are stopped and the
// provider must have nothing handed out; at the end no thread or handle may
// be left. The last line is the summary; the exit code is non-zero on any
// fault. The seed is printed first: the same seed replays the same choices
// (the threads' timing aside).
//
// With --benchmark N it instead times GetCalData passes over the benchmark
// calendar of N appointments with the mail client running, at the real time.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "calpresence/CalPresenceIds.h"
#include "tests/soak/soak_page.h"
#include "tests/soak/soak_world.h"

namespace soak {

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// One appointment of the calendar text form, numbered: its subject and
// location carry the number, so that an event's fields can be told apart.
std::string Meeting(long number, std::mt19937& random) {
  static const char* const kRepeats[] = {"daily", "weekdays", "weekly", "monthly on last Wed", "monthly on 4th Fri",
                                         "yearly", "weekly every 2 weeks on Mon,Thu"};
  static const char* const kBusy[] = {"busy", "busy", "busy", "away", "tentative", "free"};
  const long startMinutes = static_cast<long>(random() % 180) - 120;  // from two hours ago to an hour ahead
  const long length = 15 + static_cast<long>(random() % 8) * 15;
  std::string text = "[appointment]\nsubject = Soak " + std::to_string(number) + "\nlocation = Room " +
                     std::to_string(number) + "\nstart = now" + (startMinutes < 0 ? "" : "+") +
                     std::to_string(startMinutes) + "m\nend = now" + (startMinutes + length < 0 ? "" : "+") +
                     std::to_string(startMinutes + length) + "m\nbusy = " + kBusy[random() % 6] + "\n";
  if (random() % 8 == 0) text += "private = yes\n";
  if (random() % 3 == 0) text += std::string("repeat = ") + kRepeats[random() % 7] + "\n";
  return text;
}

// Meetings the mail client keeps adding and removing.
constexpr long kCalendarSize = 60;
// No call of a page may block it for longer (seconds).
constexpr double kSlowStep = 15;

struct Counts {
  long ticks = 0, getCalData = 0, quits = 0, controls = 1, reentries = 0, switches = 0, injected = 0;
  long searches = 0, awayTimers = 0, pumps = 0, delivered = 0, checks = 0, failedCalls = 0;
};

class Soak {
 public:
  Soak(World& world, const Options& options) : world_(world), options_(options), random_(options.seed) {}

  int Run() {
    std::string calendar;
    std::mt19937 calendarRandom(options_.seed + 1);
    for (int i = 0; i < 40; ++i) calendar += Meeting(NewNumber(), calendarRandom);
    if (!world_.Start(calendar)) return Fail("the calendar could not be loaded");
    for (Page& page : pages_) {
      if (FAILED(OpenCalendarPage(page))) return Fail("a calendar presence control could not be made");
    }
    world_.SetMailClient(mailClient_ = true);
    CheckQuiet("the start");
    world_.Baseline();

    std::thread mailClient([this] { MailClientThread(); });
    const Clock::time_point start = Clock::now();
    Clock::time_point lastCheck = start, nextSwitch = start + std::chrono::seconds(2);
    while (SecondsSince(start) < options_.seconds && Faults() == 0) {
      const Clock::time_point stepStart = Clock::now();
      Step();
      const double took = SecondsSince(stepStart);
      if (took > kSlowStep) Fault("one step of a page took " + std::to_string(static_cast<int>(took)) + " s");
      MaybeSwitchMailClient(nextSwitch);
      if (SecondsSince(lastCheck) > 5) {
        CheckQuiet("a quiet moment");
        lastCheck = Clock::now();
      }
    }
    stop_.store(true);
    mailClient.join();

    // The end: as pages do when they go, then everything must be gone.
    CheckQuiet("the end");
    for (Page& page : pages_) page.Close();
    world_.Pump();
    const Live live = world_.LiveNow();
    if (!live.None()) ReportLive("after the last control went", live);
    for (const std::string& left : world_.Leftovers()) Fault(left);
    return Summary(SecondsSince(start));
  }

 private:
  long NewNumber() { return nextNumber_.fetch_add(1); }

  HRESULT OpenCalendarPage(Page& page) {
    const HRESULT hr = page.Open(world_, ControlKind::CalPresence);
    page.Sink().knownMeeting = [this](long n) { return n >= 0 && n < nextNumber_.load(); };
    page.Sink().handler = [this, &page](DISPID id) { Handler(page, id); };
    return hr;
  }

  // The mail client's own thread: adds meetings and removes old ones, so
  // that its calendar stays at about kCalendarSize meetings beside the
  // initial ones.
  void MailClientThread() {
    std::mt19937 random(options_.seed + 2);
    long added = 0;
    while (!stop_.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 180));
      if (added > kCalendarSize || random() % 2 == 0) {
        added -= world_.RemoveOldest(1 + static_cast<int>(random() % 2));
      } else {
        std::string text;
        const unsigned n = 1 + random() % 2;
        for (unsigned i = 0; i < n; ++i) text += Meeting(NewNumber(), random);
        if (world_.AddMeetings(text)) added += n;
      }
      changes_.fetch_add(1);
    }
  }

  // One thing a page, the user or the mail client does.
  void Step() {
    Page& page = pages_[random_() % 2];
    if (!page.Open()) {
      if (FAILED(OpenCalendarPage(page))) Fault("a calendar presence control could not be made");
      ++counts_.controls;
      return;
    }
    const unsigned roll = random_() % 1000;
    if (roll < 150) {
      world_.Advance(60);
      ++counts_.ticks;
      Count(page.Call(WSTR("CheckProcessChange")));
    } else if (roll < 200) {
      ++counts_.getCalData;
      Count(page.Call(WSTR("GetCalData")));
    } else if (roll < 700) {
      const int n = world_.Pump();
      ++counts_.pumps;
      if (n > 0) counts_.delivered += n;
    } else if (roll < 705) {
      ++counts_.quits;
      Count(page.Call(WSTR("Quit")));
    } else if (roll < 708) {
      page.Close();  // a new page: the old control goes, a new one comes at the next step
    } else if (roll < 728) {
      world_.InjectFailure(random_);
      ++counts_.injected;
    } else if (roll < 738) {
      Search();
    } else if (roll < 748) {
      AwayTimer();
    } else if (roll < 752) {
      Count(page.SetSiteNull());
    } else if (roll < 800) {
      world_.Advance(static_cast<long>(random_() % 600));  // the page's timer was late
      ++counts_.ticks;
      Count(page.Call(WSTR("CheckProcessChange")));
    } else {
      const int n = world_.Pump();
      ++counts_.pumps;
      if (n > 0) counts_.delivered += n;
    }
  }

  // The mail client starts or ends now and then (every few seconds of real
  // time: the watcher looks once a second under Wine).
  void MaybeSwitchMailClient(Clock::time_point& next) {
    if (Clock::now() < next) return;
    world_.SetMailClient(mailClient_ = !mailClient_);
    ++counts_.switches;
    next = Clock::now() + std::chrono::milliseconds(500 + random_() % 4000);
  }

  void Count(HRESULT hr) {
    if (FAILED(hr)) ++counts_.failedCalls;
  }

  // A page's handler: now and then it calls back into the control.
  void Handler(Page& page, DISPID) {
    if (quiet_ || !options_.reentry || depth_ >= 2 || random_() % 100 >= 5) return;
    ++depth_;
    ++counts_.reentries;
    switch (random_() % 6) {
      case 0: page.Call(WSTR("GetCalData")); break;
      case 1: page.Call(WSTR("Quit")); break;
      case 2: page.Call(WSTR("CheckProcessChange")); break;
      case 3: page.SetSiteNull(); break;
      case 4: world_.Pump(); break;  // a modal loop (an alert) inside the handler
      default: page.Drop(); break;   // the page goes: its last reference, from inside the event
    }
    --depth_;
  }

  // The participant search, start to end, as its page uses it.
  // The participant search, start to end, as its page uses it. While the
  // address book dialog is up (natively) the page's loop runs: notifications
  // arrive, the calendar page asks again, or the page lets go of the search.
  void Search() {
    ++counts_.searches;
    Page search;
    if (FAILED(search.Open(world_, ControlKind::MapiSearch))) return Fault("no participant search control");
    world_.duringDialog = [this, &search] { DuringDialog(search); };
    search.Call(WSTR("DoLogin"));
    if (search.Open()) CallByName(search.Control(), WSTR("DoGetParticipantsDlg"), {LongArg(0)});
    world_.duringDialog = nullptr;
    if (!search.Open()) return;
    IDispatch* control = search.Control();
    VARIANT count, more;
    VariantInit(&count);
    VariantInit(&more);
    CallByName(control, WSTR("GetParticipantCount"), {}, &count);
    CallByName(control, WSTR("FirstParticipant"), {}, &more);
    for (int participant = 0; participant < 20 && more.vt == VT_BOOL && more.boolVal != 0; ++participant) {
      VARIANT properties;
      VariantInit(&properties);
      CallByName(control, WSTR("GetParticipantPropertySetCount"), {}, &properties);
      const LONG n = properties.vt == VT_I4 ? properties.lVal : 0;
      for (LONG i = 0; i <= n; ++i) {  // one past the end as well
        VARIANT name, value;
        VariantInit(&name);
        VariantInit(&value);
        CallByName(control, WSTR("GetParticipantPropertyName"), {LongArg(i)}, &name);
        CallByName(control, WSTR("GetParticipantPropertyValue"), {LongArg(i)}, &value);
        VariantClear(&name);
        VariantClear(&value);
      }
      VariantClear(&more);
      CallByName(control, WSTR("NextParticipant"), {}, &more);
    }
    VariantClear(&more);
    VariantClear(&count);
    if (random_() % 4 != 0) CallByName(control, WSTR("DoLogout"));  // else the control's release logs out
    search.Close();
  }

  void DuringDialog(Page& search) {
    if (!options_.reentry || random_() % 4 != 0) return;
    ++counts_.reentries;
    switch (random_() % 4) {
      case 0: world_.Pump(); break;
      case 1: pages_[0].Call(WSTR("GetCalData")); break;
      case 2: search.Call(WSTR("DoLogout")); break;
      default: search.Drop(); break;  // the page goes while the dialog is up
    }
  }

  void AwayTimer() {
    ++counts_.awayTimers;
    Page away;
    if (FAILED(away.Open(world_, ControlKind::ActiveMon))) return Fault("no away timer control");
    CallByName(away.Control(), WSTR("MonInit"));
    VARIANT idle;
    VariantInit(&idle);
    CallByName(away.Control(), WSTR("GetIdleTime"), {}, &idle);
    VariantClear(&idle);
    CallByName(away.Control(), WSTR("MonUnInit"));
    away.Close();
  }

  // Stops the pages' work with the injected failures cleared: the provider
  // must then have nothing handed out. A page's Quit stops the watcher only
  // while the control is doing work, so a pass runs first, as a page that
  // goes ends with one.
  void CheckQuiet(const char* when) {
    quiet_ = true;
    world_.ClearFailures();
    for (Page& page : pages_) {
      if (!page.Open()) continue;
      page.Call(WSTR("GetCalData"));
      page.Call(WSTR("Quit"));
    }
    const Live live = world_.LiveNow();
    if (!live.None()) ReportLive(when, live);
    ++counts_.checks;
    quiet_ = false;
  }

  void ReportLive(const char* when, const Live& live) {
    Fault(std::string("at ") + when + " the provider still has handed out " + std::to_string(live.sessions) +
          " session(s), " + std::to_string(live.objects) + " object(s), " + std::to_string(live.buffers) +
          " buffer(s)");
  }

  int Fail(const char* why) {
    Fault(why);
    return Summary(0);
  }

  int Summary(double seconds) {
    long meetings = 0, passes = 0;
    for (Page& page : pages_) {
      meetings += page.Sink().meetings;
      passes += page.Sink().passwords;
    }
    std::printf(
        "soak: %s seed=%u %.0fs: %ld scans, %ld page answers, %ld meetings reported, %ld ticks, %ld GetCalData, "
        "%ld re-entries, %ld Quit, %ld controls, %ld mail client switches, %ld calendar changes, %ld notifications, "
        "%ld failures injected, %ld failed calls, %ld searches, %ld away timers, %ld quiet checks: %ld fault(s) %s\n",
        world_.Name(), options_.seed, seconds, world_.Scans(), passes, meetings, counts_.ticks, counts_.getCalData,
        counts_.reentries, counts_.quits, counts_.controls, counts_.switches, changes_.load(), counts_.delivered,
        counts_.injected, counts_.failedCalls, counts_.searches, counts_.awayTimers, counts_.checks, Faults(),
        Faults() == 0 ? "PASS" : "FAIL");
    std::fflush(stdout);
    return Faults() == 0 ? 0 : 1;
  }

  World& world_;
  Options options_;
  std::mt19937 random_;
  Page pages_[2];
  Counts counts_;
  bool mailClient_ = false;
  bool quiet_ = false;
  int depth_ = 0;
  std::atomic<long> nextNumber_{0};
  std::atomic<long> changes_{0};
  std::atomic<bool> stop_{false};
};

// Passes over the benchmark calendar, timed one by one.
int Benchmark(World& world, const Options& options) {
  if (!world.Start("")) return 1;
  world.SetMailClient(true);
  Page page;
  if (FAILED(page.Open(world, ControlKind::CalPresence))) {
    std::fprintf(stderr, "soak: no calendar presence control\n");
    return 1;
  }
  page.Sink().checkSubjects = false;  // the benchmark calendar's own subjects
  // The first passes find the mail client and log on.
  for (int i = 0; i < 50 && world.Scans() <= 0; ++i) {
    page.Call(WSTR("GetCalData"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  double total = 0, fastest = 1e9, slowest = 0;
  const long before = page.Sink().meetings;
  const long scansBefore = world.Scans();
  for (int i = 0; i < options.benchmarkPasses; ++i) {
    const Clock::time_point start = Clock::now();
    page.Call(WSTR("GetCalData"));
    const double ms = SecondsSince(start) * 1000;
    total += ms;
    fastest = std::min(fastest, ms);
    slowest = std::max(slowest, ms);
  }
  const long scans = world.Scans() - scansBefore;
  page.Call(WSTR("Quit"));
  page.Close();
  std::printf("soak: %s benchmark calendar of %d appointments: %d passes (%ld scans), %.1f ms a pass (fastest %.1f, "
              "slowest %.1f), %ld meetings in progress a pass\n",
              world.Name(), options.benchmark, options.benchmarkPasses, scans, total / options.benchmarkPasses,
              fastest, slowest, (page.Sink().meetings - before) / std::max(1, options.benchmarkPasses));
  return scans == options.benchmarkPasses && Faults() == 0 ? 0 : 1;
}

bool ParseOptions(int argc, char** argv, Options& options) {
  bool seeded = false, timed = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--seed" && hasValue) {
      options.seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
      seeded = true;
    } else if (arg == "--no-reentry") {
      options.reentry = false;
    } else if (arg == "--quiet") {
      options.log = false;
    } else if (arg == "--benchmark" && hasValue) {
      options.benchmark = std::atoi(argv[++i]);
    } else if (arg == "--passes" && hasValue) {
      options.benchmarkPasses = std::max(1, std::atoi(argv[++i]));
    } else if (!arg.empty() && arg[0] != '-') {
      options.seconds = std::atof(arg.c_str());
      timed = options.seconds > 0;
    } else {
      return false;
    }
  }
  if (!seeded) options.seed = static_cast<uint32_t>(std::random_device{}());
  return timed || options.benchmark > 0;
}

}  // namespace

}  // namespace soak

int main(int argc, char** argv) {
  soak::Options options;
  options.log = true;
  if (!soak::ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "usage: soak SECONDS [--seed N] [--quiet] [--no-reentry] | soak --benchmark N [--passes P]\n");
    return 2;
  }
  if (options.benchmark > 0) options.log = false;
  std::printf("soak: seed %u\n", options.seed);
  std::fflush(stdout);
  std::unique_ptr<soak::World> world = soak::MakeWorld(options);
  if (!world) return 1;
  const int result = options.benchmark > 0 ? soak::Benchmark(*world, options) : soak::Soak(*world, options).Run();
  // A thread left running may still reach the world's services: they stay,
  // but the mail client (a process under Wine) goes.
  if (soak::Faults() != 0) {
    world->SetMailClient(false);
    world.release();
  }
  return result;
}
