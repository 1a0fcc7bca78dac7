// GDI draws exactly what MakePlotScene and ComputeImage computed.
#if defined(_WIN32)

#include "lister/win32/paint.h"

#include <algorithm>
#include <vector>

#include "os/text_encoding.h"
#include "picture/colour.h"

namespace lister {

std::wstring Wide(const std::string& text) {
    std::u16string units;
    if (!platform::Utf8ToUtf16(text.c_str(), &units)) return std::wstring();
    return std::wstring(units.begin(), units.end());
}

namespace {

int TextWidth(void* context, const std::string& text) {
    const std::wstring wide = Wide(text);
    SIZE size{};
    ::GetTextExtentPoint32W(static_cast<HDC>(context), wide.c_str(), static_cast<int>(wide.size()), &size);
    return size.cx;
}

void Text(HDC dc, const std::string& text, RECT box, UINT format) {
    const std::wstring wide = Wide(text);
    ::DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &box, format | DT_SINGLELINE | DT_NOPREFIX);
}

void Line(HDC dc, double x1, double y1, double x2, double y2) {
    ::MoveToEx(dc, static_cast<int>(x1), static_cast<int>(y1), nullptr);
    ::LineTo(dc, static_cast<int>(x2), static_cast<int>(y2));
}

int LineHeight(HDC dc) {
    TEXTMETRICW metrics{};
    ::GetTextMetricsW(dc, &metrics);
    return metrics.tmHeight;
}

COLORREF Colour(uint32_t rgb) { return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF); }

}  // namespace

void PaintPlot(HDC dc, const RECT& area, const PlotData& plot, const std::string& name) {
    ::FillRect(dc, &area, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, RGB(0, 0, 0));
    const int lineHeight = LineHeight(dc);
    const PlotScene scene = MakePlotScene(plot, name, area.right - area.left, area.bottom - area.top, lineHeight, TextWidth, dc);
    const int x0 = area.left, y0 = area.top;
    Text(dc, scene.title, RECT{area.left, area.top + 2, area.right, area.top + 2 + lineHeight}, DT_CENTER);
    const RECT box{x0 + scene.left, y0 + scene.top, x0 + scene.right, y0 + scene.bottom};
    if (scene.empty) {
        Text(dc, "no finite values", box, DT_CENTER | DT_VCENTER);
        return;
    }
    const HPEN grid = ::CreatePen(PS_SOLID, 1, RGB(220, 220, 220));
    const HGDIOBJ oldPen = ::SelectObject(dc, grid);
    for (const TickMark& tick : scene.valueTicks) Line(dc, box.left, y0 + tick.at, box.right, y0 + tick.at);
    ::SelectObject(dc, ::GetStockObject(BLACK_PEN));
    ::SelectObject(dc, ::GetStockObject(NULL_BRUSH));
    ::Rectangle(dc, box.left, box.top, box.right + 1, box.bottom + 1);
    for (const TickMark& tick : scene.valueTicks) {
        Line(dc, box.left - 4, y0 + tick.at, box.left, y0 + tick.at);
        const int at = static_cast<int>(y0 + tick.at);
        Text(dc, tick.label, RECT{area.left, at - lineHeight / 2, box.left - 6, at + lineHeight / 2 + 1}, DT_RIGHT | DT_VCENTER);
    }
    for (const TickMark& tick : scene.indexTicks) {
        Line(dc, x0 + tick.at, box.bottom, x0 + tick.at, box.bottom + 4);
        const int at = static_cast<int>(x0 + tick.at);
        Text(dc, tick.label, RECT{at - 60, box.bottom + 5, at + 60, box.bottom + 5 + lineHeight}, DT_CENTER);
    }
    const HRGN clip = ::CreateRectRgn(box.left, box.top, box.right + 1, box.bottom + 1);
    ::SelectClipRgn(dc, clip);
    for (size_t i = 0; i < scene.lines.size(); ++i) {
        const HPEN pen = ::CreatePen(PS_SOLID, 1, Colour(kLineColours[i % std::size(kLineColours)]));
        ::SelectObject(dc, pen);
        for (const std::vector<PixelPoint>& line : scene.lines[i]) {
            std::vector<POINT> points;
            for (const PixelPoint& point : line) points.push_back({static_cast<LONG>(x0 + point.x), static_cast<LONG>(y0 + point.y)});
            if (points.size() == 1) points.push_back({points[0].x + 1, points[0].y});
            ::Polyline(dc, points.data(), static_cast<int>(points.size()));
        }
        ::SelectObject(dc, ::GetStockObject(BLACK_PEN));
        ::DeleteObject(pen);
    }
    ::SelectClipRgn(dc, nullptr);
    ::DeleteObject(clip);
    ::SelectObject(dc, oldPen);
    ::DeleteObject(grid);
}

void PaintImage(HDC dc, const RECT& area, const ImageData& image, const std::string& name, bool trueColour, bool decorated) {
    ::FillRect(dc, &area, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
    if (image.width == 0 || image.height == 0) return;
    ::SetBkMode(dc, TRANSPARENT);
    const int lineHeight = decorated ? LineHeight(dc) : -6;
    const bool pages = !trueColour && image.pages > 1;
    if (decorated) Text(dc, name + (pages ? "  (:,:,1) of " + std::to_string(image.pages) + " pages" : "") + (image.damaged ? "  (damaged)" : ""),
         RECT{area.left, area.top + 2, area.right, area.top + 2 + lineHeight}, DT_CENTER);
    const bool withBar = decorated && !trueColour;
    const int margin = decorated ? 16 : 0;
    const int barRoom = withBar ? 16 + TextWidth(dc, "-0.000e+00") + 12 : 0;
    const int roomWidth = std::max<int>(10, area.right - area.left - margin - barRoom);
    const int roomHeight = std::max<int>(10, area.bottom - area.top - lineHeight - (decorated ? 14 : 0));
    // Scaled to fit, its shape kept.
    const double scale = std::min(static_cast<double>(roomWidth) / image.width, static_cast<double>(roomHeight) / image.height);
    const int width = std::max(1, static_cast<int>(image.width * scale)), height = std::max(1, static_cast<int>(image.height * scale));
    const int left = area.left + margin / 2 + (roomWidth - width) / 2, top = area.top + lineHeight + 6;
    std::vector<uint32_t> pixels(image.width * image.height);
    for (size_t i = 0; i < pixels.size(); ++i) {
        const picture::Rgb c = image.pixels[i];
        pixels[i] = (uint32_t{c.r} << 16) | (uint32_t{c.g} << 8) | c.b;
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = static_cast<LONG>(image.width);
    info.bmiHeader.biHeight = -static_cast<LONG>(image.height);   // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    ::SetStretchBltMode(dc, COLORONCOLOR);
    ::StretchDIBits(dc, left, top, width, height, 0, 0, static_cast<int>(image.width), static_cast<int>(image.height),
                    pixels.data(), &info, DIB_RGB_COLORS, SRCCOPY);
    if (!withBar) return;
    // The colour bar: the map from its first entry (bottom, lo) to its last.
    const RECT bar{left + width + 12, top, left + width + 28, top + height};
    for (int y = bar.top; y < bar.bottom; ++y) {
        const size_t entry = static_cast<size_t>((bar.bottom - 1 - y) * 255.0 / std::max<LONG>(1, bar.bottom - bar.top - 1));
        const picture::Rgb c = picture::kViridis[std::min<size_t>(entry, 255)];
        const RECT strip{bar.left, y, bar.right, y + 1};
        const HBRUSH brush = ::CreateSolidBrush(RGB(c.r, c.g, c.b));
        ::FillRect(dc, &strip, brush);
        ::DeleteObject(brush);
    }
    ::SelectObject(dc, ::GetStockObject(BLACK_PEN));
    ::SelectObject(dc, ::GetStockObject(NULL_BRUSH));
    ::Rectangle(dc, bar.left, bar.top, bar.right, bar.bottom);
    if (!image.limits.any) return;
    for (const TickMark& tick : ColourBarTicks(image.limits.lo, image.limits.hi, bar.top, bar.bottom)) {
        Line(dc, bar.right, tick.at, bar.right + 4, tick.at);
        const int at = static_cast<int>(tick.at);
        Text(dc, tick.label, RECT{bar.right + 6, at - lineHeight / 2, area.right, at + lineHeight / 2 + 1}, DT_LEFT | DT_VCENTER);
    }
}

HBITMAP PreviewBitmap(Document& document, int width, int height) {
    if (width <= 0 || height <= 0 || width > 4096 || height > 4096 || document.Rows().empty()) return nullptr;
    std::vector<size_t> order(document.Rows().size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    const size_t row = PreferredVariable(document, order);
    const View view = ViewsOf(document.Rows()[row]).front();
    if (view == View::Text || view == View::Grid) return nullptr;
    const HDC screen = ::GetDC(nullptr);
    const HDC dc = ::CreateCompatibleDC(screen);
    const HBITMAP bitmap = ::CreateCompatibleBitmap(screen, width, height);
    ::ReleaseDC(nullptr, screen);
    if (dc == nullptr || bitmap == nullptr) {
        if (dc != nullptr) ::DeleteDC(dc);
        if (bitmap != nullptr) ::DeleteObject(bitmap);
        return nullptr;
    }
    const HGDIOBJ old = ::SelectObject(dc, bitmap);
    ::SelectObject(dc, ::GetStockObject(DEFAULT_GUI_FONT));
    const RECT area{0, 0, width, height};
    const std::string& name = document.Rows()[row].name;
    if (view == View::Plot) {
        PaintPlot(dc, area, ComputePlot(document, row, static_cast<size_t>(width)), name);
    } else {
        PaintImage(dc, area, ComputeImage(document, row, view == View::Picture, static_cast<size_t>(std::max(width, height))), name,
                   view == View::Picture, false);
    }
    ::SelectObject(dc, old);
    ::DeleteDC(dc);
    return bitmap;
}

}  // namespace lister

#endif
