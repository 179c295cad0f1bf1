// The drop shadow's picture, step by step; see ShadowImage.h for how rows are counted.
#include "ShadowImage.h"

#include <algorithm>
#include <cmath>

TShadowGeometry TShadowGeometry::Of(const RECT& parentRect, int size, int sharpness, int darkness, int xOffset,
                                    int yOffset) {
  TShadowGeometry g;
  g.parentWidth = parentRect.right - parentRect.left;
  g.parentHeight = parentRect.bottom - parentRect.top;
  g.size = size;
  g.sharpness = sharpness;
  g.darkness = darkness;
  g.xOffset = xOffset;
  g.yOffset = yOffset;
  g.kernelRadius = std::max(size, sharpness);
  g.imageWidth = g.parentWidth + 2 * size;
  g.imageHeight = g.parentHeight + 2 * size;
  return g;
}

bool TShadowGeometry::Drawable() const {
  return parentWidth > 0 && parentHeight > 0 && imageWidth > 0 && imageHeight > 0;
}

namespace {

// Where a row has nothing: starts at the parent's right end and ends at 0, so it loses every max/min
// against a real span.
TShadowSpan NoSpan(const TShadowGeometry& geometry) { return TShadowSpan{geometry.parentWidth, 0}; }

// One inside/outside test per pixel, from the row's left end until the first inside point and from its right
// end until the last one; the interior of the row is never tested.
TShadowSpan OutlineOfRow(HRGN region, int parentRow, const TShadowGeometry& geometry) {
  int left = 0;
  while (left < geometry.parentWidth && !PtInRegion(region, left, parentRow)) ++left;
  if (left >= geometry.parentWidth) return NoSpan(geometry);
  int lastInside = geometry.parentWidth - 1;
  while (lastInside >= left + geometry.size && !PtInRegion(region, lastInside, parentRow)) --lastInside;
  if (lastInside < left + geometry.size) return NoSpan(geometry);
  return TShadowSpan{left, lastInside + 1};
}

}  // namespace

std::vector<TShadowSpan> FindParentOutline(HWND parent, const TShadowGeometry& geometry) {
  // A parent without a window region leaves the region empty: no row has an inside point.
  GdiObjectPtr region(CreateRectRgn(0, 0, 0, 0));
  GetWindowRgn(parent, region.get());
  std::vector<TShadowSpan> outline;
  outline.reserve(static_cast<size_t>(geometry.parentHeight));
  for (int parentRow = 0; parentRow < geometry.parentHeight; ++parentRow)
    outline.push_back(OutlineOfRow(region.get(), parentRow, geometry));
  return outline;
}

CShadowSpans::CShadowSpans(const std::vector<TShadowSpan>& outline, const TShadowGeometry& geometry)
    : boundary_(NoSpan(geometry)),
      // A negative size puts the parent's first and last rows outside the image; they are kept for the
      // erosion, so the table then starts above the image and has one row per parent row.
      firstRow_(std::min(0, geometry.size)),
      rows_(static_cast<size_t>(std::max(geometry.imageHeight, geometry.parentHeight)), boundary_) {
  for (size_t i = 0; i < rows_.size(); ++i) {
    int parentRow = geometry.OutlineRowOf(static_cast<int>(i) + firstRow_);
    if (parentRow < 0 || parentRow >= geometry.parentHeight) continue;
    const TShadowSpan& edge = outline[static_cast<size_t>(parentRow)];
    if (!edge.Empty()) rows_[i] = TShadowSpan{edge.left + geometry.size, edge.right + geometry.size};
  }
}

TShadowSpan CShadowSpans::At(int imageRow) const {
  int index = imageRow - firstRow_;
  return index < 0 || index >= static_cast<int>(rows_.size()) ? boundary_ : rows_[static_cast<size_t>(index)];
}

void CShadowSpans::Erode(int passes) {
  for (int pass = 0; pass < passes; ++pass) {
    std::vector<TShadowSpan> eroded(rows_.size());
    for (size_t i = 0; i < rows_.size(); ++i) {
      int imageRow = static_cast<int>(i) + firstRow_;
      TShadowSpan above = At(imageRow - 1);
      TShadowSpan below = At(imageRow + 1);
      const TShadowSpan& own = rows_[i];
      eroded[i] = TShadowSpan{std::max({above.left, own.left, below.left}) + 1,
                              std::min({above.right, own.right, below.right}) - 1};
    }
    rows_.swap(eroded);
  }
}

uint32_t PremultipliedPixel(COLORREF color, unsigned alpha) {
  uint32_t red = GetRValue(color) * alpha / 255;
  uint32_t green = GetGValue(color) * alpha / 255;
  uint32_t blue = GetBValue(color) * alpha / 255;
  return (static_cast<uint32_t>(alpha) << 24) | (red << 16) | (green << 8) | blue;
}

CShadowKernel::CShadowKernel(const TShadowGeometry& geometry, COLORREF color)
    : radius_(geometry.kernelRadius),
      side_(2 * radius_ + 1),
      pixels_(static_cast<size_t>(side_) * static_cast<size_t>(side_), 0) {
  const int solidRadius = std::max(0, geometry.size - geometry.sharpness);
  for (int dy = -radius_; dy <= radius_; ++dy) {
    for (int dx = -radius_; dx <= radius_; ++dx) {
      double distance = std::sqrt(static_cast<double>(dx * dx + dy * dy));
      int alpha = 0;
      if (distance < solidRadius) {
        alpha = geometry.darkness;
      } else if (distance <= radius_) {
        alpha = static_cast<int>((1.0 - (distance - solidRadius) / (geometry.sharpness + 1)) * geometry.darkness);
      }
      if (alpha > 0)
        pixels_[static_cast<size_t>((dy + radius_) * side_ + dx + radius_)] =
            PremultipliedPixel(color, static_cast<unsigned>(alpha));
    }
  }
}

uint32_t CShadowKernel::At(int dx, int dy) const {
  return pixels_[static_cast<size_t>((dy + radius_) * side_ + dx + radius_)];
}

CShadowImage::CShadowImage(uint32_t* bottomUpBits, const TShadowGeometry& geometry)
    : bits_(bottomUpBits), width_(geometry.imageWidth), height_(geometry.imageHeight) {}

uint32_t& CShadowImage::Pixel(int x, int imageRow) {
  size_t memoryRow = static_cast<size_t>(height_ - 1 - imageRow);
  return bits_[memoryRow * static_cast<size_t>(width_) + static_cast<size_t>(x)];
}

void CShadowImage::Fill(int imageRow, int from, int to, uint32_t value) {
  for (int x = std::max(0, from); x < std::min(to, width_); ++x) Pixel(x, imageRow) = value;
}

void CShadowImage::Stamp(const CShadowKernel& kernel, int x, int imageRow) {
  const int radius = kernel.Radius();
  for (int dy = -radius; dy <= radius; ++dy) {
    int row = imageRow + dy;
    if (row < 0 || row >= height_) continue;
    for (int dx = -radius; dx <= radius; ++dx) {
      int column = x + dx;
      if (column < 0 || column >= width_) continue;
      uint32_t value = kernel.At(dx, dy);
      uint32_t& target = Pixel(column, row);
      if (value > target) target = value;
    }
  }
}

void StampEdges(CShadowImage& image, const CShadowSpans& spans, const CShadowKernel& kernel) {
  const int radius = kernel.Radius();
  for (int row = radius; row < image.Height() - radius; ++row) {
    TShadowSpan above = spans.At(row - 1);
    TShadowSpan own = spans.At(row);
    TShadowSpan below = spans.At(row + 1);
    if (own.Empty()) continue;
    // From the left end until both neighbours cover the pixel, then from where either stops covering it.
    int x = own.left;
    for (; x < std::min(own.right, std::max(above.left, below.left) + 1); ++x) image.Stamp(kernel, x, row);
    for (x = std::max(x, std::min(above.right, below.right) - 1); x < own.right; ++x) image.Stamp(kernel, x, row);
  }
}

void FillInterior(CShadowImage& image, const CShadowSpans& spans, const std::vector<TShadowSpan>& outline,
                  const TShadowGeometry& geometry, uint32_t solid) {
  // Rows inside the stamped band, widened to every row the shifted parent covers.
  const int first = std::max(0, std::min(geometry.kernelRadius, std::max(0, geometry.size - geometry.yOffset)));
  const int last = std::max(image.Height() - geometry.kernelRadius,
                            std::min(geometry.parentHeight + geometry.size - geometry.yOffset, image.Height()));
  for (int row = first; row < std::min(last, image.Height()); ++row) {
    TShadowSpan shape = spans.At(row);
    if (shape.Empty()) continue;
    int parentRow = geometry.CoveringRowOf(row);
    if (parentRow < 0 || parentRow >= geometry.parentHeight || outline[static_cast<size_t>(parentRow)].Empty()) {
      image.Fill(row, shape.left, shape.right, solid);
      continue;
    }
    // The parent's own columns in image columns: there the shadow is fully transparent.
    const TShadowSpan& parent = outline[static_cast<size_t>(parentRow)];
    int parentLeft = parent.left + geometry.size - geometry.xOffset;
    int parentRight = parent.right + geometry.size - geometry.xOffset;
    image.Fill(row, shape.left, std::min(shape.right, parentLeft), solid);
    image.Fill(row, std::max(0, parentLeft), std::min(parentRight, image.Width()), 0);
    image.Fill(row, std::max(shape.left, parentRight), shape.right, solid);
  }
}
