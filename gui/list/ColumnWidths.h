#pragma once
// Column widths that follow the font. The widths of both programs' lists were chosen in pixels
// for a small dialog font; with a larger font (or a screen with more dots per inch) the dates
// and times no longer fit and show cut off. The widths are scaled by one factor, so the columns
// keep their proportions: the smallest factor, never below 1, at which a whole date
// ("00/00/0000") and a whole time ("00:00:00") fit in their columns with the cell margins.
//
// Thread affinity: UI thread (fonts and styles).

#include <span>
#include <vector>

class QFontMetrics;

namespace uv::gui {

class CUVTListCtrl;

// `widths` in display column order (date first, then time); `cellMargins` is what a cell takes
// beside its text, both sides together.
std::vector<int> ScaleColumnWidthsToFont(const QFontMetrics& metrics, std::span<const int> widths,
                                         int cellMargins);

// Sets the list's column widths from `widths` scaled to the list's font and its style's cell
// margins; returns the widths set.
std::vector<int> FitColumnWidthsToFont(CUVTListCtrl& list, std::span<const int> widths);

}  // namespace uv::gui
