#include "Base/Algorithms/CPixelPolygon.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include <opencv2/imgproc.hpp>

namespace {

// Largest bounding box (padded) that is filled; beyond it only the chain is kept.
constexpr std::int64_t kMaxFillPixels = std::int64_t{1} << 26;

constexpr unsigned char kChain = 1;
constexpr unsigned char kOutside = 2;

}  // namespace

// ---------------------------------------------------------------------------
// AreaIterator

CPixelPolygon::AreaIterator::AreaIterator(std::shared_ptr<const std::vector<Coords>> pixels)
    : m_pixels(std::move(pixels)) {}

const CPixelPolygon::Coords& CPixelPolygon::AreaIterator::operator*() const {
    return (*m_pixels)[m_index];
}

const CPixelPolygon::Coords* CPixelPolygon::AreaIterator::operator->() const {
    return &(*m_pixels)[m_index];
}

CPixelPolygon::AreaIterator& CPixelPolygon::AreaIterator::operator++() {
    if (!AtEnd()) {
        ++m_index;
    }
    return *this;
}

bool CPixelPolygon::AreaIterator::AtEnd() const {
    return m_pixels == nullptr || m_index >= m_pixels->size();
}

// ---------------------------------------------------------------------------
// CPixelPolygon

CPixelPolygon::CPixelPolygon() = default;

CPixelPolygon::CPixelPolygon(const std::vector<ChainedPixel>& chain, int area, float perimeter)
    : m_chain(chain), m_area(area), m_perimeter(perimeter), m_filled(fillChain(chain)) {}

CPixelPolygon::CPixelPolygon(const CPixelPolygon&) = default;
CPixelPolygon::CPixelPolygon(CPixelPolygon&&) noexcept = default;
CPixelPolygon& CPixelPolygon::operator=(const CPixelPolygon&) = default;
CPixelPolygon& CPixelPolygon::operator=(CPixelPolygon&&) noexcept = default;
CPixelPolygon::~CPixelPolygon() = default;

int CPixelPolygon::GetArea() const { return m_area; }
float CPixelPolygon::GetPerimeter() const { return m_perimeter; }
const std::vector<ChainedPixel>& CPixelPolygon::GetChain() const { return m_chain; }

CPixelPolygon::AreaIterator CPixelPolygon::GetAreaAndMarginIterator() const {
    return AreaIterator(m_filled);
}

CPixelPolygon::AreaIterator CPixelPolygon::GetAreaIterator() const {
    return AreaIterator(m_filled);
}

std::shared_ptr<const std::vector<CPixelPolygon::Coords>> CPixelPolygon::fillChain(
    const std::vector<ChainedPixel>& chain) {
    if (chain.empty()) {
        return nullptr;
    }
    std::int64_t minX = chain.front().x;
    std::int64_t maxX = minX;
    std::int64_t minY = chain.front().y;
    std::int64_t maxY = minY;
    for (const ChainedPixel& p : chain) {
        minX = std::min<std::int64_t>(minX, p.x);
        maxX = std::max<std::int64_t>(maxX, p.x);
        minY = std::min<std::int64_t>(minY, p.y);
        maxY = std::max<std::int64_t>(maxY, p.y);
    }
    // One pixel of padding on every side keeps the outside connected around the chain.
    const std::int64_t width = maxX - minX + 3;
    const std::int64_t height = maxY - minY + 3;

    auto pixels = std::make_shared<std::vector<Coords>>();
    if (width * height > kMaxFillPixels) {
        pixels->reserve(chain.size());
        for (const ChainedPixel& p : chain) {
            pixels->push_back({p.x, p.y});
        }
        std::sort(pixels->begin(), pixels->end(), [](const Coords& a, const Coords& b) {
            return a.row != b.row ? a.row < b.row : a.column < b.column;
        });
        pixels->erase(std::unique(pixels->begin(), pixels->end(),
                                  [](const Coords& a, const Coords& b) {
                                      return a.row == b.row && a.column == b.column;
                                  }),
                      pixels->end());
        return pixels;
    }

    cv::Mat marks = cv::Mat::zeros(static_cast<int>(height), static_cast<int>(width), CV_8UC1);
    for (const ChainedPixel& p : chain) {
        marks.at<unsigned char>(static_cast<int>(p.y - minY + 1),
                                static_cast<int>(p.x - minX + 1)) = kChain;
    }
    cv::floodFill(marks, cv::Point(0, 0), cv::Scalar(kOutside), nullptr, cv::Scalar(0),
                  cv::Scalar(0), 4);
    const int count = static_cast<int>(marks.total()) - cv::countNonZero(marks == kOutside);
    pixels->reserve(static_cast<std::size_t>(count));
    for (int r = 1; r + 1 < marks.rows; ++r) {
        const unsigned char* row = marks.ptr<unsigned char>(r);
        for (int c = 1; c + 1 < marks.cols; ++c) {
            if (row[c] != kOutside) {
                pixels->push_back({static_cast<int>(c + minX - 1), static_cast<int>(r + minY - 1)});
            }
        }
    }
    return pixels;
}
