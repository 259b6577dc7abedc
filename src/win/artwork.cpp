#include "win/artwork.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "win/widgets.h"

namespace ol::win {
namespace {

constexpr COLORREF kMaskColor = RGB(255, 0, 255);

enum class Pictogram { Monitor, Download, Settings, Refresh, Hide, Dot };

// A bitmap of size x size to draw on, filled with the mask colour.
struct Canvas {
  explicit Canvas(int size) : size(size) {
    HDC screen = GetDC(nullptr);
    dc = CreateCompatibleDC(screen);
    bitmap = CreateCompatibleBitmap(screen, size, size);
    ReleaseDC(nullptr, screen);
    old = SelectObject(dc, bitmap);
    RECT r{0, 0, size, size};
    HBRUSH mask = CreateSolidBrush(kMaskColor);
    FillRect(dc, &r, mask);
    DeleteObject(mask);
  }
  ~Canvas() {
    SelectObject(dc, old);
    DeleteDC(dc);
    if (bitmap) DeleteObject(bitmap);
  }
  // Hands the bitmap over; the canvas must not be drawn on afterwards.
  HBITMAP Take() {
    SelectObject(dc, old);
    HBITMAP b = bitmap;
    bitmap = nullptr;
    return b;
  }
  int size;
  HDC dc;
  HBITMAP bitmap;
  HGDIOBJ old;
};

// Draws one pictogram, designed on a 32 x 32 grid, scaled to the canvas.
void Draw(Canvas& c, Pictogram kind, COLORREF tile) {
  const double s = c.size / 32.0;
  auto at = [s](double v) { return static_cast<int>(std::lround(v * s)); };
  HBRUSH fill = CreateSolidBrush(tile);
  HGDIOBJ oldBrush = SelectObject(c.dc, fill);
  HGDIOBJ oldPen = SelectObject(c.dc, GetStockObject(NULL_PEN));
  RoundRect(c.dc, at(1), at(1), at(31) + 1, at(31) + 1, at(12), at(12));
  SelectObject(c.dc, GetStockObject(NULL_BRUSH));

  LOGBRUSH lb{BS_SOLID, RGB(255, 255, 255), 0};
  HPEN pen = ExtCreatePen(PS_GEOMETRIC | PS_SOLID | PS_ENDCAP_ROUND | PS_JOIN_ROUND,
                          static_cast<DWORD>(std::max(1, at(2.4))), &lb, 0, nullptr);
  SelectObject(c.dc, pen);
  auto line = [&](std::initializer_list<std::array<double, 2>> points) {
    std::array<POINT, 8> p{};
    int n = 0;
    for (const auto& q : points) p[static_cast<std::size_t>(n++)] = {at(q[0]), at(q[1])};
    Polyline(c.dc, p.data(), n);
  };
  switch (kind) {
    case Pictogram::Monitor:  // a screen on a stand with a pulse across it
      RoundRect(c.dc, at(6), at(7), at(26), at(21), at(4), at(4));
      line({{16, 21}, {16, 25}});
      line({{11, 25.5}, {21, 25.5}});
      line({{9, 14}, {12, 14}, {14, 10}, {17, 18}, {19, 14}, {23, 14}});
      break;
    case Pictogram::Download:  // an arrow down into a tray
      line({{16, 6}, {16, 19}});
      line({{10.5, 14}, {16, 19.5}, {21.5, 14}});
      line({{7, 20}, {7, 25}, {25, 25}, {25, 20}});
      break;
    case Pictogram::Settings:  // a gear: eight teeth round a ring
      Ellipse(c.dc, at(9.5), at(9.5), at(22.5), at(22.5));
      for (int i = 0; i < 8; ++i) {
        const double a = i * 3.14159265 / 4;
        line({{16 + 7.5 * std::sin(a), 16 - 7.5 * std::cos(a)},
              {16 + 10.5 * std::sin(a), 16 - 10.5 * std::cos(a)}});
      }
      break;
    case Pictogram::Refresh:  // a circular arrow
      Arc(c.dc, at(8), at(8), at(24), at(24), at(22), at(9), at(20), at(7));
      line({{21.5, 4.5}, {22, 11}, {15.5, 10}});
      break;
    case Pictogram::Hide:  // a window going down to the bar at the bottom
      Rectangle(c.dc, at(7), at(6), at(25), at(18));
      line({{7, 9.5}, {25, 9.5}});
      line({{12.5, 20}, {16, 23.5}, {19.5, 20}});
      line({{8, 26.5}, {24, 26.5}});
      break;
    case Pictogram::Dot: {  // the program's sign: 点 on its tile
      HGDIOBJ oldFont =
          SelectObject(c.dc, CreateFontW(-at(19), 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE,
                                         DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                         NONANTIALIASED_QUALITY, DEFAULT_PITCH, L"Tahoma"));
      SetBkMode(c.dc, TRANSPARENT);
      SetTextColor(c.dc, RGB(255, 255, 255));
      RECT r{0, 0, c.size, c.size};
      DrawTextW(c.dc, L"\x70B9", 1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
      DeleteObject(SelectObject(c.dc, oldFont));
      break;
    }
  }
  SelectObject(c.dc, oldPen);
  SelectObject(c.dc, oldBrush);
  DeleteObject(pen);
  DeleteObject(fill);
}

HIMAGELIST NewList(int size, int count) {
  return ImageList_Create(size, size, ILC_COLOR24 | ILC_MASK, count, 0);
}

void Add(HIMAGELIST list, Canvas& c) {
  HBITMAP b = c.Take();
  ImageList_AddMasked(list, b, kMaskColor);
  DeleteObject(b);
}

}  // namespace

HIMAGELIST ToolImages(int size) {
  struct Image {
    Pictogram kind;
    COLORREF tile;
  };
  const Image images[] = {
      {Pictogram::Monitor, RGB(0x27, 0xAE, 0x60)},  {Pictogram::Download, RGB(0x29, 0x80, 0xB9)},
      {Pictogram::Settings, RGB(0x8E, 0x44, 0xAD)}, {Pictogram::Refresh, RGB(0xD3, 0x54, 0x00)},
      {Pictogram::Hide, RGB(0x7F, 0x8C, 0x8D)},
  };
  HIMAGELIST list = NewList(size, 5);
  for (const Image& image : images) {
    Canvas c(size);
    Draw(c, image.kind, image.tile);
    Add(list, c);
  }
  return list;
}

HICON AppIcon(int size) {
  HIMAGELIST list = NewList(size, 1);
  Canvas c(size);
  Draw(c, Pictogram::Dot, RGB(0xC0, 0x39, 0x2B));
  Add(list, c);
  HICON icon = ImageList_GetIcon(list, 0, ILD_NORMAL);
  ImageList_Destroy(list);
  return icon;
}

HIMAGELIST TickImages() {
  const int size = Px(16);
  HIMAGELIST list = NewList(size, 5);
  for (int i = 0; i <= 4; ++i) {
    Canvas c(size);
    if (i >= 3) {
      RECT r{Px(2), Px(2), Px(15), Px(15)};
      DrawFrameControl(c.dc, &r, DFC_BUTTON,
                       DFCS_BUTTONCHECK | DFCS_FLAT | (i == 4 ? DFCS_CHECKED : 0));
    }
    Add(list, c);
  }
  return list;
}

}  // namespace ol::win
