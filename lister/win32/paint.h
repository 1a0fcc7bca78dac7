// The plot and the image drawn with GDI into any device context: the
// lister's view window and Total Commander's thumbnails.
#pragma once
#if defined(_WIN32)

#include <windows.h>

#include <string>

#include "lister/plot_data.h"

namespace lister {

// UTF-16 of UTF-8 (empty for ill-formed text).
std::wstring Wide(const std::string& text);

void PaintPlot(HDC dc, const RECT& area, const PlotData& plot, const std::string& name);
// `decorated`: with the caption and (for a scaled image) the colour bar;
// a thumbnail has neither.
void PaintImage(HDC dc, const RECT& area, const ImageData& image, const std::string& name, bool trueColour,
                bool decorated = true);
// A thumbnail of the file: the picture or plot of the variable it opens on,
// width x height pixels; null when nothing in it can be drawn.
HBITMAP PreviewBitmap(Document& document, int width, int height);

}  // namespace lister

#endif
