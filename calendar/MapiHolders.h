// Owners for what MAPI hands out: buffers go back through MAPIFreeBuffer and
// row sets through FreeProws, once each.
#pragma once

#include "platform/mapi.h"

template <class T>
class MapiBuffer {
 public:
  MapiBuffer() = default;
  ~MapiBuffer() { Reset(); }
  MapiBuffer(const MapiBuffer&) = delete;
  MapiBuffer& operator=(const MapiBuffer&) = delete;

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T** Receive() {
    Reset();
    return &p_;
  }
  T* Detach() {
    T* p = p_;
    p_ = nullptr;
    return p;
  }
  void Reset() {
    if (p_ != nullptr) plat::Mapi().MAPIFreeBuffer(p_);
    p_ = nullptr;
  }

 private:
  T* p_ = nullptr;
};

class RowSet {
 public:
  RowSet() = default;
  ~RowSet() { Reset(); }
  RowSet(const RowSet&) = delete;
  RowSet& operator=(const RowSet&) = delete;

  LPSRowSet Get() const { return p_; }
  LPSRowSet operator->() const { return p_; }
  LPSRowSet* Receive() {
    Reset();
    return &p_;
  }
  void Reset() {
    if (p_ != nullptr) plat::Mapi().FreeProws(p_);
    p_ = nullptr;
  }

 private:
  LPSRowSet p_ = nullptr;
};
