// Reading an X server's idle time (the screen saver extension) over one
// connection that is kept: the server counts a client's leaving as activity,
// so a connection per reading would itself reset the count it reads.
//
// Header only, for the platform's "user32.dll" (X found at run time) and the
// hook library (X linked): the caller hands over the Xlib functions. Include
// it last: Xlib's macros (Bool, Status, ...) are not meant for other headers.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

namespace xidle {

struct XApi {
  Display* (*openDisplay)(const char*);
  int (*closeDisplay)(Display*);
  Window (*defaultRootWindow)(Display*);
  int (*connectionNumber)(Display*);
  int (*free)(void*);
  Bool (*queryExtension)(Display*, int*, int*);
  XScreenSaverInfo* (*allocInfo)();
  Status (*queryInfo)(Display*, Drawable, XScreenSaverInfo*);
  // Optional (Xlib 1.7 and later): without it a server that goes away in
  // the middle of a request ends the process, as Xlib does by default.
  void (*setIOErrorExitHandler)(Display*, XIOErrorExitHandler, void*);
};

inline std::uint64_t MonotonicMilliseconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

class IdleReader {
 public:
  explicit IdleReader(const XApi& api) : api_(api) {}
  ~IdleReader() { Disconnect(); }
  IdleReader(const IdleReader&) = delete;
  IdleReader& operator=(const IdleReader&) = delete;

  // One reading: the local monotonic clock (ms) just before and after the
  // request, and the server's idle time (ms). False without a display that
  // offers the extension. Not thread-safe: callers serialise.
  bool Read(std::uint64_t& before, std::uint64_t& after, std::uint64_t& idle) {
    const char* name = std::getenv("DISPLAY");
    const std::string wanted = name != nullptr ? name : "";
    if (display_ != nullptr && (lost_ || wanted != name_ || ServerLeft())) Disconnect();
    if (display_ == nullptr && !Connect(wanted)) return false;
    XScreenSaverInfo* info = api_.allocInfo();
    if (info == nullptr) return false;
    before = MonotonicMilliseconds();
    const bool ok = api_.queryInfo(display_, api_.defaultRootWindow(display_), info) != 0 && !lost_;
    after = MonotonicMilliseconds();
    idle = info->idle;
    api_.free(info);
    if (lost_) Disconnect();
    return ok;
  }

  // Closes the connection (the server counts this as activity).
  void Disconnect() {
    if (display_ == nullptr) return;
    if (lost_) {
      // Xlib cannot talk to a server that left: give back the socket and
      // leave the rest of the connection's memory be.
      ::close(api_.connectionNumber(display_));
    } else {
      api_.closeDisplay(display_);
    }
    display_ = nullptr;
    lost_ = false;
  }

 private:
  bool Connect(const std::string& name) {
    if (name.empty()) return false;
    Display* display = api_.openDisplay(name.c_str());
    if (display == nullptr) return false;
    int eventBase = 0, errorBase = 0;
    if (!api_.queryExtension(display, &eventBase, &errorBase)) {
      api_.closeDisplay(display);
      return false;
    }
    if (api_.setIOErrorExitHandler != nullptr) api_.setIOErrorExitHandler(display, &OnLost, this);
    display_ = display;
    name_ = name;
    lost_ = false;
    return true;
  }

  // True when the server closed the connection (the socket reads as ended).
  bool ServerLeft() {
    pollfd p{api_.connectionNumber(display_), POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    char c;
    if (::recv(p.fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0 || (p.revents & (POLLHUP | POLLERR)) != 0) {
      lost_ = true;
      return true;
    }
    return false;
  }

  static void OnLost(Display*, void* self) { static_cast<IdleReader*>(self)->lost_ = true; }

  XApi api_;
  Display* display_ = nullptr;
  std::string name_;
  bool lost_ = false;
};

}  // namespace xidle
