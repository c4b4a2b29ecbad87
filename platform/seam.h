// The one seam between Tessaro and the operating system.
//
// Every operating-system service is a small interface whose virtual methods
// carry the Win32 names they stand for. The base class itself is the real
// implementation for the target being built (platform/windows forwards to the
// Win32 API, platform/linux is our own). Product code reaches a service only
// through its accessor (plat::Registry().RegOpenKeyW(...)); a test derives
// from the service, overrides what it needs and installs the object with
// plat::Substitute for the extent of a scope.
#pragma once

#include <atomic>

namespace plat {

template <class Service>
class Seam {
 public:
  static Service& Get() { return *Current().load(std::memory_order_acquire); }
  // Installs s (nullptr restores the real service); returns what was installed.
  static Service* Swap(Service* s) {
    if (s == nullptr) s = &Native();
    return Current().exchange(s, std::memory_order_acq_rel);
  }

 private:
  static Service& Native() {
    static Service native;
    return native;
  }
  static std::atomic<Service*>& Current() {
    static std::atomic<Service*> current{&Native()};
    return current;
  }
};

// Installs a substitute service for the life of this object.
template <class Service>
class Substitute {
 public:
  explicit Substitute(Service& s) : previous_(Seam<Service>::Swap(&s)) {}
  ~Substitute() { Seam<Service>::Swap(previous_); }
  Substitute(const Substitute&) = delete;
  Substitute& operator=(const Substitute&) = delete;

 private:
  Service* previous_;
};

}  // namespace plat
