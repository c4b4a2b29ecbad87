// Drawing on Windows: the GDI and user32 calls themselves.
#include "platform/graphics.h"

namespace plat {

BOOL GraphicsService::Rectangle(HDC hdc, int left, int top, int right, int bottom) {
  return ::Rectangle(hdc, left, top, right, bottom);
}

int GraphicsService::DrawTextW(HDC hdc, LPCWSTR text, int count, LPRECT rect, UINT format) {
  return ::DrawTextW(hdc, text, count, rect, format);
}

}  // namespace plat
