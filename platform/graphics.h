// Drawing on a device context: the two GDI calls a control makes when a host
// asks it to draw itself (IViewObject::Draw). See seam.h for how the service
// is reached and substituted.
//
// Windows forwards to GDI. Linux has no device contexts: its service answers
// as if it had drawn and draws nothing; tests substitute the service and look
// at the calls.
#pragma once

#include "platform/seam.h"
#include "platform/wintypes.h"

#ifndef _WIN32

// A device context (never dereferenced here).
struct HDC__;
using HDC = HDC__*;

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};
using LPRECT = RECT*;
using LPCRECT = const RECT*;
using RECTL = RECT;
using LPRECTL = RECTL*;
using LPCRECTL = const RECTL*;

struct SIZE {
  LONG cx;
  LONG cy;
};
using SIZEL = SIZE;
using LPSIZEL = SIZEL*;

// DrawTextW formats.
#define DT_TOP 0x00000000
#define DT_LEFT 0x00000000
#define DT_CENTER 0x00000001
#define DT_RIGHT 0x00000002
#define DT_VCENTER 0x00000004
#define DT_BOTTOM 0x00000008
#define DT_WORDBREAK 0x00000010
#define DT_SINGLELINE 0x00000020
#define DT_NOCLIP 0x00000100

#endif  // not _WIN32

namespace plat {

class GraphicsService {
 public:
  virtual ~GraphicsService() = default;
  // Outlines (and fills with the current brush) the rectangle; nonzero on
  // success. Linux: TRUE.
  virtual BOOL Rectangle(HDC hdc, int left, int top, int right, int bottom);
  // Draws count characters of text (-1: up to the terminator) in the
  // rectangle as format says; the height of the text, 0 on failure. With
  // DT_SINGLELINE, DT_CENTER and DT_VCENTER the line is centred both ways
  // and clipped to the rectangle. Linux: 1, nothing drawn.
  virtual int DrawTextW(HDC hdc, LPCWSTR text, int count, LPRECT rect, UINT format);
};

inline GraphicsService& Graphics() { return Seam<GraphicsService>::Get(); }

}  // namespace plat
