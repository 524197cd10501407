#pragma once

#include <cstddef>
#include <memory>
#include <vector>

/// One element of a traced boundary chain: a pixel position (column, row).
struct ChainedPixel {
    int x = 0;  ///< column
    int y = 0;  ///< row
    ChainedPixel() = default;
    ChainedPixel(int column, int row) : x(column), y(row) {}
};

/// A closed region outline given by its boundary chain, with its area and perimeter.
///
/// Value semantics; copies share the (immutable) pixel set. The area-and-margin
/// iteration yields the chain pixels and every pixel they enclose (holes of the
/// region included), each once; the area iteration yields the same set (the
/// boundary pixels are part of the region's area). Both go row by row from the
/// top, each row from the left.
///
/// The enclosed pixels are found when the polygon is constructed: the chain
/// pixels are marked in their bounding box widened by one pixel, the outside
/// is flooded from the box border with 4-connectivity (an 8-connected chain
/// stops it), and every pixel not reached is in the set. A chain that is not
/// closed thus encloses nothing and yields only its own pixels, and so does a
/// chain whose bounding box exceeds 2^26 pixels (no outline traced in an image
/// of that size is expected; this bounds the memory used).
/// The area and perimeter are kept as given; they are not recomputed.
class CPixelPolygon {
  public:
    /// A pixel position (column, row).
    struct Coords {
        int column = 0;
        int row = 0;
    };

    /// Forward iteration over a set of pixels; `AtEnd` tells when it is done.
    /// A default-constructed iterator is at its end. Dereferencing an iterator
    /// at its end is not allowed.
    class AreaIterator {
      public:
        AreaIterator() = default;
        /// The current pixel.
        const Coords& operator*() const;
        const Coords* operator->() const;
        /// Moves to the next pixel (no effect at the end).
        AreaIterator& operator++();
        /// True when every pixel has been visited.
        bool AtEnd() const;

      private:
        friend class CPixelPolygon;
        explicit AreaIterator(std::shared_ptr<const std::vector<Coords>> pixels);
        std::shared_ptr<const std::vector<Coords>> m_pixels;
        std::size_t m_index = 0;
    };

    /// An empty polygon: no chain, area 0, perimeter 0, empty iterations.
    CPixelPolygon();
    /// A polygon from its boundary `chain` in walking order, its `area` in pixels
    /// and its `perimeter`.
    CPixelPolygon(const std::vector<ChainedPixel>& chain, int area, float perimeter);
    CPixelPolygon(const CPixelPolygon&);
    CPixelPolygon(CPixelPolygon&&) noexcept;
    CPixelPolygon& operator=(const CPixelPolygon&);
    CPixelPolygon& operator=(CPixelPolygon&&) noexcept;
    ~CPixelPolygon();

    /// The area given to the constructor.
    int GetArea() const;
    /// The perimeter given to the constructor.
    float GetPerimeter() const;
    /// The boundary chain given to the constructor.
    const std::vector<ChainedPixel>& GetChain() const;

    /// The boundary pixels and every pixel they enclose.
    AreaIterator GetAreaAndMarginIterator() const;
    /// The enclosed pixels.
    AreaIterator GetAreaIterator() const;

  private:
    static std::shared_ptr<const std::vector<Coords>> fillChain(
        const std::vector<ChainedPixel>& chain);

    std::vector<ChainedPixel> m_chain;
    int m_area = 0;
    float m_perimeter = 0.0f;
    std::shared_ptr<const std::vector<Coords>> m_filled;  // null for an empty polygon
};
