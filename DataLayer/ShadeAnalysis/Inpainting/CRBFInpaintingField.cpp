// Evaluation of the fitted RBF field of CRBFInpainting: the field on a node
// grid, interpolated to the pixels the fill selects, and the smoothed photo
// everywhere else.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CRBFInpainting.h"
#include "DataLayer/ShadeAnalysis/Inpainting/RBFInpaintingEngine.h"
#include "DataLayer/ShadeAnalysis/Inpainting/RBFKernels.h"
#include "DataLayer/ShadeAnalysis/Inpainting/RBFLeastSquares.h"
#include "DataLayer/ShadeAnalysis/Memory/PhotoBuffers.h"

namespace DataLayer {

using Inpainting::kMaxRhs;
using Inpainting::kPolyTerms;
using Inpainting::RBFInpaintingEngine;

namespace {

/// CRBFInpainting::clamp of a float, inlined into the filling as a select the
/// compiler vectorises: 255 above 255, 0 below 0, otherwise the value (a NaN
/// passes through).
inline float clampField(float v) {
    const float low = v < 0.0f ? 0.0f : v;
    return v > 255.0f ? 255.0f : low;
}

/// The four weights of Keys' cubic convolution with a = -1/2 at the fraction
/// t of a cell, for the nodes -1, 0, 1 and 2. This cubic reproduces every
/// quadratic exactly, so the ridge fit's polynomial part is interpolated
/// without error and the smooth multiquadric part within about 1e-6 of its
/// value (OpenCV's a = -0.75 left a ripple of up to 0.4 % over the patches).
std::array<double, 4> cubicWeights(double t) {
    constexpr double a = -0.5;
    auto near = [](double x) { return ((a + 2.0) * x - (a + 3.0)) * x * x + 1.0; };
    auto far = [](double x) { return ((a * x - 5.0 * a) * x + 8.0 * a) * x - 4.0 * a; };
    return {far(t + 1.0), near(t), near(1.0 - t), far(2.0 - t)};
}

}  // namespace

void RBFInpaintingEngine::fillValues(const cv::Mat& fillMask, cv::Mat& out) {
    approximate();
    if (!m_weights[0] && !m_ridge.valid) return;
    const cv::Mat& mask =
        (fillMask.data != nullptr && fillMask.total() > 0) ? fillMask : m_exclusionMask;
    CV_CheckTypeEQ(mask.type(), CV_8UC1, "the fill mask must be CV_8UC1");
    CV_Check(mask.size(), mask.size() == m_inputImage.size(),
             "the fill mask must have the input image's size");
    // Every pixel of the result is written below. The caller's buffer is reused
    // only when nothing else refers to it; otherwise `out` gets a new one, as a
    // deep copy would.
    cv::Mat result;
    const bool reusable = out.size() == m_inputImage.size() && out.type() == CV_32FC3 &&
                          out.isContinuous() && !out.isSubmatrix() && out.u != nullptr &&
                          out.u->refcount == 1;
    if (reusable) {
        result = out;
    } else {
        createPhotoBuffer(result, m_inputImage.size(), CV_32FC3);
    }
    prepareFieldNodes(mask);
    fieldNodeRows(mask, 0, result);
    m_fieldNodes.release();
    out = result;
}

bool RBFInpaintingEngine::fillRowRange(int firstRow, cv::Mat& out) {
    if (!m_weights[0] && !m_ridge.valid) return false;
    const cv::Mat& mask = m_exclusionMask;
    if (out.type() != CV_32FC3 || out.cols != mask.cols || firstRow < 0 ||
        firstRow > mask.rows - out.rows) {
        return false;
    }
    if (m_fieldNodes.empty()) prepareFieldNodes(mask);
    fieldNodeRows(mask, firstRow, out);
    return true;
}

void RBFInpaintingEngine::copySmoothed(int y, int x0, int x1, float* out) const {
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    const cv::Rect& reach = m_smoothedReach;
    if (y < reach.y || y >= reach.y + reach.height) {
        std::fill(out, out + 3 * static_cast<std::ptrdiff_t>(x1 - x0), nan);
        return;
    }
    const int lo = std::max(x0, reach.x);
    const int hi = std::min(x1, reach.x + reach.width);
    if (hi <= lo) {
        std::fill(out, out + 3 * static_cast<std::ptrdiff_t>(x1 - x0), nan);
        return;
    }
    float* o = std::fill_n(out, 3 * (lo - x0), nan);
    const float* s = m_smoothedImage.ptr<float>(y - reach.y) + 3 * (lo - reach.x);
    o = std::copy(s, s + 3 * static_cast<std::ptrdiff_t>(hi - lo), o);
    std::fill_n(o, 3 * (x1 - hi), nan);
}

void RBFInpaintingEngine::prepareFieldNodes(const cv::Mat& mask) {
    // The fitted field: the ridge fit's (its centres' basis functions and a
    // quadratic) or the surround fit's (its centres' basis functions alone).
    const bool quadratic = m_ridge.valid;
    const PointList& centres = quadratic ? m_ridge.centres : m_centres;
    const std::array<const double*, 3> weights =
        quadratic
            ? std::array<const double*, 3>{m_ridge.weights[0].data(), m_ridge.weights[1].data(),
                                           m_ridge.weights[2].data()}
            : std::array<const double*, 3>{m_weights[0].get(), m_weights[1].get(),
                                           m_weights[2].get()};
    const int rows = mask.rows;
    const int cols = mask.cols;
    constexpr int step = kRidgeEvaluationStep;
    // Cells of the pixels: cell (i, j) holds the pixels from (i, j) · step on.
    // Nodes lie one step beyond the image on every side, so that each pixel
    // reads four real nodes each way: node (k, l) sits at ((k - 1), (l - 1)) ·
    // step, and a pixel of cell (i, j) reads the nodes i .. i + 3, j .. j + 3.
    const int cellsX = (cols - 1) / step + 1;
    const int cellsY = (rows - 1) / step + 1;
    const int nx = cellsX + 3;
    const int ny = cellsY + 3;
    cv::Mat cellSelected(ny, nx, CV_8UC1, cv::Scalar(0));
    parallelRows(cellsY, 4, [&](int j0, int j1) {
        for (int j = j0; j < j1; ++j) {
            uchar* flags = cellSelected.ptr<uchar>(j);
            for (int y = j * step; y < std::min(rows, (j + 1) * step); ++y) {
                const uchar* mk = mask.ptr<uchar>(y);
                for (int x = 0; x < cols; ++x) {
                    if (mk[x] != 0) flags[x / step] = 1;
                }
            }
        }
    });
    // Node (k, l) is needed when a selected cell (i, j) has k - 3 <= i <= k
    // and l - 3 <= j <= l.
    cv::Mat needed;
    cv::dilate(cellSelected, needed, cv::Mat::ones(4, 4, CV_8U), cv::Point(3, 3), 1,
               cv::BORDER_CONSTANT, cv::Scalar(0));
    const std::int64_t mr = static_cast<std::int64_t>(centres.size());
    // The rows of the weight cache the needed nodes read, each as wide as the
    // node grid.
    const int width = cols + 2 * step;
    std::vector<int> widths(static_cast<std::size_t>(rows + 2 * step), 0);
    {
        std::vector<int> centreRows(centres.size());
        std::transform(centres.begin(), centres.end(), centreRows.begin(),
                       [](const Point& c) { return c[1]; });
        std::sort(centreRows.begin(), centreRows.end());
        centreRows.erase(std::unique(centreRows.begin(), centreRows.end()), centreRows.end());
        for (int j = 0; j < ny; ++j) {
            const uchar* need = needed.ptr<uchar>(j);
            if (std::none_of(need, need + nx, [](uchar n) { return n != 0; })) continue;
            for (const int cy : centreRows)
                widths[static_cast<std::size_t>(std::abs(cy - (j - 1) * step))] = width;
        }
    }
    const BasisRows table = computeBasisRows(widths);
    // The nodes lie `step` apart: a centre at column cx reads a table row at
    // the offsets cx - (i - 1)·step left of it (all ≡ cx mod step) and
    // (i - 1)·step - cx right of it (≡ -cx). Each row is copied once per
    // residue r that occurs into a compact row whose value m is the one at
    // offset r + m·step, so that a centre reads two contiguous runs.
    std::array<bool, step> residueUsed{};
    for (const Point& c : centres) {
        const int r = ((c[0] % step) + step) % step;
        residueUsed[static_cast<std::size_t>(r)] = true;
        residueUsed[static_cast<std::size_t>((step - r) % step)] = true;
    }
    const int compactWidth = width / step + 1;
    std::array<std::vector<const double*>, step> compactOf;
    std::vector<double> compactValues;
    {
        std::vector<std::pair<int, int>> slots;  // (residue, dy)
        for (int r = 0; r < step; ++r) {
            if (!residueUsed[static_cast<std::size_t>(r)]) continue;
            compactOf[static_cast<std::size_t>(r)].assign(table.rowOf.size(), nullptr);
            for (std::size_t dy = 0; dy < table.rowOf.size(); ++dy) {
                if (table.rowOf[dy] != nullptr) slots.emplace_back(r, static_cast<int>(dy));
            }
        }
        compactValues.resize(slots.size() * static_cast<std::size_t>(compactWidth));
        for (std::size_t k = 0; k < slots.size(); ++k) {
            const auto [r, dy] = slots[k];
            const double* row = table.rowOf[static_cast<std::size_t>(dy)];
            double* compact = compactValues.data() + k * static_cast<std::size_t>(compactWidth);
            for (int m = 0; m < compactWidth; ++m) {
                const int x = r + m * step;
                compact[m] = x < width ? row[x] : 0.0;
            }
            compactOf[static_cast<std::size_t>(r)][static_cast<std::size_t>(dy)] = compact;
        }
    }
    cv::Mat nodes(ny, nx, CV_64FC3, cv::Scalar::all(0.0));
    // One row of nodes at a time: each centre reads its basis values along
    // the row from its compact rows, and the node-row kernel sums them over
    // the centres, each node's sum in the order of the centres.
    const Inpainting::RBFKernels& kernels = Inpainting::rbfKernels();
    parallelRows(ny, 1, [&](int j0, int j1) {
        const std::size_t nodeCount = static_cast<std::size_t>(nx);
        const std::size_t termCount = static_cast<std::size_t>(mr);
        std::array<std::vector<double>, 3> acc;
        for (auto& a : acc) a.resize(nodeCount);
        std::vector<const double*> left(termCount);
        std::vector<const double*> right(termCount);
        std::vector<int> origin(termCount);
        std::vector<int> shift(termCount);
        std::vector<int> split(termCount);
        const Inpainting::NodeRowTerms basis{left.data(), right.data(), origin.data(), shift.data(),
                                             split.data()};
        for (int j = j0; j < j1; ++j) {
            const uchar* need = needed.ptr<uchar>(j);
            if (std::none_of(need, need + nx, [](uchar n) { return n != 0; })) continue;
            const int y = (j - 1) * step;
            for (std::size_t k = 0; k < termCount; ++k) {
                const Point& c = centres[k];
                const std::size_t dy = static_cast<std::size_t>(std::abs(c[1] - y));
                const int cx = c[0];
                const int r = ((cx % step) + step) % step;
                const int q = (cx - r) / step;
                // Left of the centre (and on it): offsets r + (q + 1 - i)·step;
                // right of it: (step - r) % step + (i - 1 - q - (r > 0))·step.
                left[k] = compactOf[static_cast<std::size_t>(r)][dy];
                origin[k] = q + 1;
                split[k] = std::max(0, std::min(nx, q + 2));
                right[k] = compactOf[static_cast<std::size_t>((step - r) % step)][dy];
                shift[k] = 1 + q + (r > 0 ? 1 : 0);
            }
            kernels.nodeRow(basis, mr, nx, weights[0], weights[1], weights[2], acc[0].data(),
                            acc[1].data(), acc[2].data());
            cv::Vec3d* node = nodes.ptr<cv::Vec3d>(j);
            if (!quadratic) {
                for (int i = 0; i < nx; ++i) {
                    for (std::size_t c = 0; c < 3; ++c) {
                        node[i][static_cast<int>(c)] = acc[c][static_cast<std::size_t>(i)];
                    }
                }
                continue;
            }
            const double v = (y - m_ridge.cy) / m_ridge.sy;
            for (int i = 0; i < nx; ++i) {
                const double u = ((i - 1) * step - m_ridge.cx) / m_ridge.sx;
                const double terms[kPolyTerms] = {1.0, u, v, u * u, u * v, v * v};
                for (int c = 0; c < kMaxRhs; ++c) {
                    const double* w = weights[static_cast<std::size_t>(c)];
                    double sum = acc[static_cast<std::size_t>(c)][static_cast<std::size_t>(i)];
                    for (std::int64_t t = 0; t < kPolyTerms; ++t) sum += w[mr + t] * terms[t];
                    node[i][c] = sum;
                }
            }
        }
    });
    m_fieldNodes = nodes;
}

void RBFInpaintingEngine::fieldNodeRows(const cv::Mat& mask, int firstRow, cv::Mat& out) {
    const int cols = out.cols;
    constexpr int step = kRidgeEvaluationStep;
    const cv::Mat& nodes = m_fieldNodes;
    const int nx = nodes.cols;
    const int cells = (cols - 1) / step + 1;
    // The weights of the four nodes for each phase within a cell, in double
    // for the columns and in single precision, tap by tap, for the pixels
    // (the interpolation in float stays within 1e-6 of the double one).
    std::array<std::array<double, 4>, step> phase;
    std::array<std::array<float, step>, 4> tap;
    for (int f = 0; f < step; ++f) {
        phase[static_cast<std::size_t>(f)] = cubicWeights(static_cast<double>(f) / step);
        for (std::size_t t = 0; t < 4; ++t) {
            tap[t][static_cast<std::size_t>(f)] =
                static_cast<float>(phase[static_cast<std::size_t>(f)][t]);
        }
    }
    parallelRows(out.rows, 4, [&](int r0, int r1) {
        // The row's field, channel by channel, over whole cells.
        const std::size_t padded = static_cast<std::size_t>(cells) * step;
        std::array<std::vector<float>, 3> column;
        std::array<std::vector<float>, 3> field;
        for (std::size_t c = 0; c < 3; ++c) {
            column[c].resize(static_cast<std::size_t>(nx));
            field[c].resize(padded);
        }
        for (int y = firstRow + r0; y < firstRow + r1; ++y) {
            const uchar* mk = mask.ptr<uchar>(y);
            float* o = out.ptr<float>(y - firstRow);
            bool any = false;
            for (int x = 0; x < cols && !any; ++x) any = mk[x] != 0;
            if (!any) {
                copySmoothed(y, 0, cols, o);
                continue;
            }
            const int j = y / step;
            const auto& wy = phase[static_cast<std::size_t>(y % step)];
            // The nodes j .. j + 3 hold the rows (j - 1) .. (j + 2) · step.
            const double* n0 = nodes.ptr<double>(j);
            const double* n1 = nodes.ptr<double>(j + 1);
            const double* n2 = nodes.ptr<double>(j + 2);
            const double* n3 = nodes.ptr<double>(j + 3);
            for (std::size_t c = 0; c < 3; ++c) {
                float* col = column[c].data();
                for (std::size_t i = 0; i < static_cast<std::size_t>(nx); ++i) {
                    const std::size_t at = 3 * i + c;
                    double sum = 0.0;
                    sum += wy[0] * n0[at];
                    sum += wy[1] * n1[at];
                    sum += wy[2] * n2[at];
                    sum += wy[3] * n3[at];
                    col[i] = static_cast<float>(sum);
                }
            }
            // Cell i reads the column nodes i .. i + 3.
            for (std::size_t c = 0; c < 3; ++c) {
                const float* col = column[c].data();
                float* f = field[c].data();
                for (int i = 0; i < cells; ++i) {
                    const float c0 = col[i];
                    const float c1 = col[i + 1];
                    const float c2 = col[i + 2];
                    const float c3 = col[i + 3];
                    float* cell = f + static_cast<std::size_t>(i) * step;
                    for (std::size_t k = 0; k < step; ++k) {
                        cell[k] = tap[0][k] * c0 + tap[1][k] * c1 + tap[2][k] * c2 + tap[3][k] * c3;
                    }
                }
            }
            // The field at every pixel, then the smoothed photo over each run
            // of pixels outside the mask.
            std::array<cv::Mat, 3> planes;
            for (std::size_t c = 0; c < 3; ++c) {
                float* f = field[c].data();
                for (std::size_t x = 0; x < static_cast<std::size_t>(cols); ++x) {
                    f[x] = clampField(f[x]);
                }
                planes[c] = cv::Mat(1, cols, CV_32FC1, f);
            }
            cv::Mat interleaved(1, cols, CV_32FC3, o);
            cv::merge(planes.data(), planes.size(), interleaved);
            for (int x = 0; x < cols;) {
                const void* zero = std::memchr(mk + x, 0, static_cast<std::size_t>(cols - x));
                if (zero == nullptr) break;
                x = static_cast<int>(static_cast<const uchar*>(zero) - mk);
                int end = x + 1;
                while (end < cols && mk[end] == 0) ++end;
                copySmoothed(y, x, end, o + 3 * static_cast<std::size_t>(x));
                x = end;
            }
        }
    });
}

}  // namespace DataLayer