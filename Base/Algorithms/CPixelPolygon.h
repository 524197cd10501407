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
/// Value semantics. The area-and-margin iteration yields the traced boundary
/// pixels and every pixel they enclose (holes of the region included), each
/// once; the area iteration yields the enclosed pixels (here the same set: the
/// boundary pixels are part of the region's area).
class CPixelPolygon {
public:
    /// A pixel position (column, row).
    struct Coords {
        int column = 0;
        int row = 0;
    };

    /// Forward iteration over a set of pixels; `AtEnd` tells when it is done.
    class AreaIterator {
    public:
        AreaIterator() = default;
        const Coords& operator*() const;
        const Coords* operator->() const;
        AreaIterator& operator++();
        bool AtEnd() const;

    private:
        friend class CPixelPolygon;
        explicit AreaIterator(std::shared_ptr<const std::vector<Coords>> pixels);
        std::shared_ptr<const std::vector<Coords>> m_pixels;
        std::size_t m_index = 0;
    };

    CPixelPolygon();
    CPixelPolygon(const std::vector<ChainedPixel>& chain, int area, float perimeter);
    CPixelPolygon(const CPixelPolygon&);
    CPixelPolygon(CPixelPolygon&&) noexcept;
    CPixelPolygon& operator=(const CPixelPolygon&);
    CPixelPolygon& operator=(CPixelPolygon&&) noexcept;
    ~CPixelPolygon();

    int GetArea() const;
    float GetPerimeter() const;
    const std::vector<ChainedPixel>& GetChain() const;

    /// The boundary pixels and every pixel they enclose.
    AreaIterator GetAreaAndMarginIterator() const;
    /// The enclosed pixels.
    AreaIterator GetAreaIterator() const;

private:
    std::shared_ptr<const std::vector<Coords>> filledPixels() const;

    std::vector<ChainedPixel> m_chain;
    int m_area = 0;
    float m_perimeter = 0.0f;
    mutable std::shared_ptr<const std::vector<Coords>> m_filled;  // computed on first use
};
