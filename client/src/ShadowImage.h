#pragma once
// The drop shadow's picture, one step per function: the parent's outline, the shadow's shape as one span per
// row, the erosion that makes room for the fading band, the kernel, the edges stamped with it, the solid
// interior. Pure computation on memory the caller owns (the outline step reads the parent's window region),
// so any thread may draw; CShadowWnd calls it on the thread that owns the parent.
//
// Rows are counted one way throughout: image rows from the top (row 0), as the user sees them. The image
// reaches `size` pixels past the parent on every side, so image row r holds the outline of parent row
// r - size; the bottom-up order of the bitmap is the concern of CShadowImage alone.
#include <cstdint>
#include <memory>
#include <vector>

#include "UIlib.h"

// Every number one rendering works with, named once.
struct TShadowGeometry {
  int parentWidth = 0;
  int parentHeight = 0;
  int size = 0;          // how far the image reaches past the parent on every side; negative shrinks it
  int sharpness = 0;     // width of the fading band
  int darkness = 0;      // alpha of the solid part
  int xOffset = 0;       // the shadow's shift from the parent
  int yOffset = 0;
  int kernelRadius = 0;  // max(size, sharpness)
  int imageWidth = 0;    // parentWidth + 2 size
  int imageHeight = 0;   // parentHeight + 2 size

  static TShadowGeometry Of(const RECT& parentRect, int size, int sharpness, int darkness, int xOffset,
                            int yOffset);
  // False when the parent or the image has no pixel: nothing to draw.
  bool Drawable() const;
  // The parent row whose outline gives an image row its shape.
  int OutlineRowOf(int imageRow) const { return imageRow - size; }
  // The parent row that lies over an image row on the screen, once the offsets have moved the shadow.
  int CoveringRowOf(int imageRow) const { return imageRow + yOffset - size; }
};

// A run [left, right) of x positions; empty when left >= right.
struct TShadowSpan {
  int left;
  int right;
  bool Empty() const { return left >= right; }
};

// The parent's outline: one span per parent row, in parent columns, found from each row's ends inwards.
std::vector<TShadowSpan> FindParentOutline(HWND parent, const TShadowGeometry& geometry);

// The shadow's shape: one span per image row, in image columns. It also holds rows beyond the image when
// the size is negative, because those still take part in the erosion.
class CShadowSpans {
 public:
  CShadowSpans(const std::vector<TShadowSpan>& outline, const TShadowGeometry& geometry);
  // The span of an image row; outside the table the empty boundary span.
  TShadowSpan At(int imageRow) const;
  // Narrows every span by one pixel per pass against its neighbours above and below, all rows at once.
  void Erode(int passes);

 private:
  TShadowSpan boundary_;  // the empty span above and below the table
  int firstRow_;          // the image row of rows_[0]
  std::vector<TShadowSpan> rows_;
};

// The premultiplied ARGB pixel of a colour (0x00BBGGRR) at an alpha.
uint32_t PremultipliedPixel(COLORREF color, unsigned alpha);

// The soft disc stamped along the edges: premultiplied pixels around a centre, full darkness inside
// size - sharpness, fading to nothing over the sharpness band, zero beyond the radius.
class CShadowKernel {
 public:
  CShadowKernel(const TShadowGeometry& geometry, COLORREF color);
  int Radius() const { return radius_; }
  uint32_t At(int dx, int dy) const;

 private:
  int radius_;
  int side_;
  std::vector<uint32_t> pixels_;
};

// The caller's bottom-up 32-bit bitmap, addressed by image row.
class CShadowImage {
 public:
  CShadowImage(uint32_t* bottomUpBits, const TShadowGeometry& geometry);
  int Width() const { return width_; }
  int Height() const { return height_; }
  uint32_t& Pixel(int x, int imageRow);
  // Sets the pixels [from, to) of a row, clipped to the image.
  void Fill(int imageRow, int from, int to, uint32_t value);
  // Lays the kernel centred on (x, imageRow), keeping whichever pixel is greater.
  void Stamp(const CShadowKernel& kernel, int x, int imageRow);

 private:
  uint32_t* bits_;
  int width_;
  int height_;
};

// Stamps the kernel along the left and right ends of each shape row, and along every pixel of a row that
// its neighbours do not cover (top and bottom edges, steps of a rounded outline).
void StampEdges(CShadowImage& image, const CShadowSpans& spans, const CShadowKernel& kernel);

// Fills the shape inside the stamped band with the solid pixel, leaving clear what the parent itself covers.
void FillInterior(CShadowImage& image, const CShadowSpans& spans, const std::vector<TShadowSpan>& outline,
                  const TShadowGeometry& geometry, uint32_t solid);

// Owns a GDI object (region, bitmap) and deletes it.
struct TGdiObjectDeleter {
  void operator()(void* object) const { DeleteObject(object); }
};
using GdiObjectPtr = std::unique_ptr<void, TGdiObjectDeleter>;
