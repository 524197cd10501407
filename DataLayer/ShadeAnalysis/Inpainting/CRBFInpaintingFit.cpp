// Least-squares fit and evaluation of the RBF field of CRBFInpainting.
//
// The fit solves min ||A·w - b|| for the three colour channels at once, where
// A(k, j) is the basis value between sample k and centre j (one lookup in the
// weight cache). A is never stored whole: AᵀA and Aᵀb are accumulated over
// blocks of samples, factored as L·D·Lᵀ, and solved for the three right-hand
// sides. The normal matrix of smooth bases is often too badly conditioned for
// that factorisation; then it is factored again with diagonal pivoting and the
// fit is made through the centres the pivoting keeps (see solveLeastSquares).

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include <oneapi/tbb/cache_aligned_allocator.h>
#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CRBFInpainting.h"
#include "DataLayer/ShadeAnalysis/Inpainting/RBFInpaintingEngine.h"
#include "DataLayer/ShadeAnalysis/Inpainting/RBFKernels.h"
#include "DataLayer/ShadeAnalysis/Memory/PhotoBuffers.h"

namespace DataLayer {

using Inpainting::RBFInpaintingEngine;

namespace {

using PointList = CRBFInpainting::PointList;
using DoubleVector = std::vector<double, tbb::cache_aligned_allocator<double>>;
using Executor = std::function<void(int, const std::function<void(int)>&)>;

constexpr std::int64_t kPanel = Inpainting::kPanelWidth;  // centres per packed panel
constexpr std::int64_t kBlock = 256;  // samples per block of the normal equations
constexpr int kMaxRhs = 3;
constexpr std::int64_t kPolyTerms = 6;  // 1, u, v, u², uv, v² of the ridge fit

void runSerial(int count, const std::function<void(int)>& body) {
    for (int i = 0; i < count; ++i) body(i);
}

/// The design matrix A(k, j) = rows[|dy|][|dx|] of samples and centres (rows
/// of the weight cache), with up to three right-hand sides b(k, c).
struct Problem {
    const PointList& samples;
    const PointList& centres;
    const double* const* rows;
    const DoubleVector& rhs;  // N x nrhs, sample-major
    int nrhs;
    /// Optional polynomial columns after the RBF columns: N x kPolyTerms,
    /// sample-major; null for none.
    const double* poly = nullptr;

    std::int64_t rbf() const { return static_cast<std::int64_t>(centres.size()); }
    std::int64_t n() const { return static_cast<std::int64_t>(samples.size()); }
    std::int64_t m() const { return rbf() + (poly != nullptr ? kPolyTerms : 0); }
    double a(std::int64_t k, std::int64_t j) const {
        if (j >= rbf()) return poly[k * kPolyTerms + (j - rbf())];
        const auto& s = samples[static_cast<std::size_t>(k)];
        const auto& c = centres[static_cast<std::size_t>(j)];
        const std::int64_t dx = std::abs(static_cast<std::int64_t>(s[0]) - c[0]);
        const std::int64_t dy = std::abs(static_cast<std::int64_t>(s[1]) - c[1]);
        return rows[dy][dx];
    }
};

// Tiles of the normal-matrix kernel (RBFKernels::tileProduct).
constexpr std::int64_t kRowsOfTile = Inpainting::kTileRows;
constexpr std::int64_t kColsOfTile = Inpainting::kTileCols;
constexpr std::int64_t kRowGroup = 4;  // row tiles that share each column panel

/// Leading dimension of the normal matrix of m centres: room for the 4 x 12
/// tiles of its formation and one spare 8-panel for the pivoted factorisation.
std::int64_t normalMatrixStride(std::int64_t m) {
    constexpr std::int64_t unit = 24;
    return (m + kPanel + unit - 1) / unit * unit;
}

/// Accumulates G = AᵀA (lower triangle, row-major, leading dimension ld from
/// normalMatrixStride) and r = Aᵀb (nrhs x M) over blocks of samples. Each
/// block of A is packed twice, as panels of 4 and of 12 centres; tiles of 4 x 12
/// cover the lower triangle (and spill into the unused upper one). Every entry
/// is summed in the same order whatever the task split.
void formNormalEquations(const Problem& p, const Executor& run, DoubleVector& g, std::int64_t ld,
                         DoubleVector& r) {
    const std::int64_t n = p.n();
    const std::int64_t m = p.m();
    const std::int64_t rowTiles = (m + kRowsOfTile - 1) / kRowsOfTile;
    const std::int64_t colTiles = (m + kColsOfTile - 1) / kColsOfTile;
    const std::int64_t groups = (rowTiles + kRowGroup - 1) / kRowGroup;
    DoubleVector packedRows(static_cast<std::size_t>(rowTiles * kBlock * kRowsOfTile));
    DoubleVector packedCols(static_cast<std::size_t>(colTiles * kBlock * kColsOfTile));
    const auto tileProduct = Inpainting::rbfKernels().tileProduct;
    const int tasks = static_cast<int>(std::min<std::int64_t>(groups, 64));
    for (std::int64_t k0 = 0; k0 < n; k0 += kBlock) {
        const std::int64_t depth = std::min(kBlock, n - k0);
        // Pack the block: column panel q holds A(k0 + k, 12q + jj) at
        // [q][k][jj]; row panel q holds A(k0 + k, 4q + ii) at [q][k][ii].
        run(static_cast<int>(colTiles), [&](int q) {
            double* cols = packedCols.data() + q * kBlock * kColsOfTile;
            for (std::int64_t k = 0; k < depth; ++k) {
                for (std::int64_t jj = 0; jj < kColsOfTile; ++jj) {
                    const std::int64_t j = q * kColsOfTile + jj;
                    cols[k * kColsOfTile + jj] = j < m ? p.a(k0 + k, j) : 0.0;
                }
            }
            for (std::int64_t t = 0; t < kColsOfTile / kRowsOfTile; ++t) {
                const std::int64_t qr = q * (kColsOfTile / kRowsOfTile) + t;
                if (qr >= rowTiles) break;
                double* rows = packedRows.data() + qr * kBlock * kRowsOfTile;
                for (std::int64_t k = 0; k < depth; ++k) {
                    for (std::int64_t ii = 0; ii < kRowsOfTile; ++ii) {
                        rows[k * kRowsOfTile + ii] = cols[k * kColsOfTile + t * kRowsOfTile + ii];
                    }
                }
            }
        });
        // Task t owns the groups of row tiles t, t + tasks, ... and the
        // matching entries of r; each column panel serves a whole group.
        run(tasks, [&](int t) {
            for (std::int64_t gi = t; gi < groups; gi += tasks) {
                const std::int64_t i0 = gi * kRowGroup;
                const std::int64_t i1 = std::min(rowTiles, i0 + kRowGroup);
                const std::int64_t lastRow = i1 * kRowsOfTile - 1;
                for (std::int64_t qj = 0; qj * kColsOfTile <= lastRow; ++qj) {
                    const double* b = packedCols.data() + qj * kBlock * kColsOfTile;
                    for (std::int64_t qi = i0; qi < i1; ++qi) {
                        if (qj * kColsOfTile > qi * kRowsOfTile + kRowsOfTile - 1) continue;
                        const double* a = packedRows.data() + qi * kBlock * kRowsOfTile;
                        double* c = g.data() + (qi * kRowsOfTile) * ld + qj * kColsOfTile;
                        tileProduct(a, b, depth, c, ld);
                    }
                }
                for (std::int64_t qi = i0; qi < i1; ++qi) {
                    const double* a = packedRows.data() + qi * kBlock * kRowsOfTile;
                    for (std::int64_t ii = 0; ii < kRowsOfTile; ++ii) {
                        const std::int64_t j = qi * kRowsOfTile + ii;
                        if (j >= m) break;
                        for (int c = 0; c < p.nrhs; ++c) {
                            double s = 0.0;
                            for (std::int64_t k = 0; k < depth; ++k) {
                                s += a[k * kRowsOfTile + ii] *
                                     p.rhs[static_cast<std::size_t>((k0 + k) * p.nrhs + c)];
                            }
                            r[static_cast<std::size_t>(c * m + j)] += s;
                        }
                    }
                }
            }
        });
    }
}

/// Factors the leading M x M block of G (lower triangle, leading dimension ld)
/// in place as L·D·Lᵀ. Returns true when every pivot is positive and finite;
/// the smallest and largest pivots are reported.
bool factorLDLT(DoubleVector& g, std::int64_t ld, std::int64_t m, const Executor& run,
                double& minPivot, double& maxPivot) {
    const auto dot = Inpainting::rbfKernels().dot;
    DoubleVector work(static_cast<std::size_t>(m));
    bool ok = true;
    minPivot = std::numeric_limits<double>::infinity();
    maxPivot = -std::numeric_limits<double>::infinity();
    double* G = g.data();
    constexpr std::int64_t kRowsPerTask = 64;
    for (std::int64_t j = 0; j < m; ++j) {
        double* lj = G + j * ld;
        for (std::int64_t k = 0; k < j; ++k)
            work[static_cast<std::size_t>(k)] = lj[k] * G[k * ld + k];
        const double d = lj[j] - dot(lj, work.data(), j);
        lj[j] = d;
        if (!(d > 0.0) || !std::isfinite(d)) ok = false;
        minPivot = std::min(minPivot, d);
        maxPivot = std::max(maxPivot, d);
        const std::int64_t below = m - j - 1;
        auto updateRows = [&](std::int64_t i0, std::int64_t i1) {
            for (std::int64_t i = i0; i < i1; ++i) {
                double* li = G + i * ld;
                li[j] = (li[j] - dot(li, work.data(), j)) / d;
            }
        };
        if (below * j < 32768) {
            updateRows(j + 1, m);
        } else {
            const int tasks = static_cast<int>((below + kRowsPerTask - 1) / kRowsPerTask);
            run(tasks, [&](int t) {
                const std::int64_t i0 = j + 1 + t * kRowsPerTask;
                updateRows(i0, std::min(m, i0 + kRowsPerTask));
            });
        }
    }
    return ok;
}

/// Solves (L·D·Lᵀ)·x = x in place for one right-hand side.
void solveLDLTInPlace(const DoubleVector& g, std::int64_t ld, std::int64_t m, double* x) {
    const auto dot = Inpainting::rbfKernels().dot;
    const double* G = g.data();
    for (std::int64_t i = 0; i < m; ++i) x[i] -= dot(G + i * ld, x, i);
    for (std::int64_t i = 0; i < m; ++i) x[i] /= G[i * ld + i];
    for (std::int64_t i = m - 1; i >= 0; --i) {
        double s = x[i];
        for (std::int64_t k = i + 1; k < m; ++k) s -= G[k * ld + i] * x[k];
        x[i] = s;
    }
}

// ---- Pivoted factorisation for the ill-posed case -----------------------------------

/// Swaps rows and columns a < b of the symmetric matrix held in the lower
/// triangle of G (order m, leading dimension ld).
void symmetricSwap(double* G, std::int64_t ld, std::int64_t m, std::int64_t a, std::int64_t b) {
    auto at = [G, ld](std::int64_t i, std::int64_t j) -> double& { return G[i * ld + j]; };
    for (std::int64_t k = 0; k < a; ++k) std::swap(at(a, k), at(b, k));
    std::swap(at(a, a), at(b, b));
    for (std::int64_t i = a + 1; i < b; ++i) std::swap(at(i, a), at(b, i));
    for (std::int64_t i = b + 1; i < m; ++i) std::swap(at(i, a), at(i, b));
}

/// Factors P·G·Pᵀ = L·D·Lᵀ with diagonal pivoting (the largest remaining
/// diagonal of the Schur complement first), in place in the lower triangle of
/// G, and stops when no remaining pivot exceeds `tol`. Returns the rank r: the
/// leading r columns hold L (unit diagonal implied) and D; perm[k] is the
/// original index of pivot k. The updates of the trailing matrix run a block
/// of kPivotBlock columns at a time through the normal-matrix kernel. G needs
/// one spare panel of rows and columns beyond m rounded up to 8.
constexpr std::int64_t kPivotBlock = 32;

std::int64_t factorPivoted(DoubleVector& g, std::int64_t ld, std::int64_t m, double tol,
                           const Executor& run, std::vector<std::int64_t>& perm) {
    double* G = g.data();
    auto at = [G, ld](std::int64_t i, std::int64_t j) -> double& { return G[i * ld + j]; };
    perm.resize(static_cast<std::size_t>(m));
    DoubleVector diag(static_cast<std::size_t>(m));
    for (std::int64_t i = 0; i < m; ++i) {
        perm[static_cast<std::size_t>(i)] = i;
        diag[static_cast<std::size_t>(i)] = at(i, i);
    }
    DoubleVector work(static_cast<std::size_t>(kPivotBlock));
    DoubleVector packedX;
    DoubleVector packedY;
    const Inpainting::RBFKernels& kernels = Inpainting::rbfKernels();
    const auto dot = kernels.dot;
    for (std::int64_t k0 = 0; k0 < m; k0 += kPivotBlock) {
        const std::int64_t kb = std::min(kPivotBlock, m - k0);
        for (std::int64_t j = k0; j < k0 + kb; ++j) {
            std::int64_t p = j;
            for (std::int64_t i = j + 1; i < m; ++i) {
                if (diag[static_cast<std::size_t>(i)] > diag[static_cast<std::size_t>(p)]) p = i;
            }
            if (!(diag[static_cast<std::size_t>(p)] > tol)) return j;
            if (p != j) {
                symmetricSwap(G, ld, m, j, p);
                std::swap(diag[static_cast<std::size_t>(j)], diag[static_cast<std::size_t>(p)]);
                std::swap(perm[static_cast<std::size_t>(j)], perm[static_cast<std::size_t>(p)]);
            }
            // Column j from the columns of this block before it (left-looking);
            // earlier blocks are already in the trailing matrix.
            const std::int64_t done = j - k0;
            for (std::int64_t k = 0; k < done; ++k) {
                work[static_cast<std::size_t>(k)] = at(j, k0 + k) * at(k0 + k, k0 + k);
            }
            const double d = at(j, j) - dot(&at(j, k0), work.data(), done);
            if (!(d > tol) || !std::isfinite(d)) return j;
            at(j, j) = d;
            const std::int64_t below = m - j - 1;
            auto columnRows = [&](std::int64_t i0, std::int64_t i1) {
                for (std::int64_t i = i0; i < i1; ++i) {
                    double& lij = at(i, j);
                    lij = (lij - dot(&at(i, k0), work.data(), done)) / d;
                }
            };
            if (below * done < 65536) {
                columnRows(j + 1, m);
            } else {
                constexpr std::int64_t kRows = 256;
                run(static_cast<int>((below + kRows - 1) / kRows), [&](int t) {
                    const std::int64_t i0 = j + 1 + t * kRows;
                    columnRows(i0, std::min(m, i0 + kRows));
                });
            }
            for (std::int64_t i = j + 1; i < m; ++i) {
                const double l = at(i, j);
                diag[static_cast<std::size_t>(i)] -= l * l * d;
            }
        }
        // Trailing update: G(i, l) -= Σ_k L(i, k)·D(k)·L(l, k) over this block,
        // for t0 <= l <= i, on tiles of 8 x 8 starting at t0.
        const std::int64_t t0 = k0 + kb;
        if (t0 >= m) break;
        const std::int64_t panels = (m - t0 + kPanel - 1) / kPanel;
        packedX.assign(static_cast<std::size_t>(panels * kb * kPanel), 0.0);
        packedY.assign(static_cast<std::size_t>(panels * kb * kPanel), 0.0);
        for (std::int64_t q = 0; q < panels; ++q) {
            for (std::int64_t ii = 0; ii < kPanel; ++ii) {
                const std::int64_t i = t0 + q * kPanel + ii;
                if (i >= m) break;
                for (std::int64_t k = 0; k < kb; ++k) {
                    const std::size_t idx = static_cast<std::size_t>((q * kb + k) * kPanel + ii);
                    packedX[idx] = at(i, k0 + k);
                    packedY[idx] = -at(i, k0 + k) * at(k0 + k, k0 + k);
                }
            }
        }
        const int rowTasks = static_cast<int>(std::min<std::int64_t>(panels, 64));
        run(rowTasks, [&](int t) {
            for (std::int64_t qi = t; qi < panels; qi += rowTasks) {
                const double* a = packedX.data() + qi * kb * kPanel;
                for (std::int64_t qj = 0; qj <= qi; ++qj) {
                    const double* b = packedY.data() + qj * kb * kPanel;
                    double* c = &at(t0 + qi * kPanel, t0 + qj * kPanel);
                    kernels.panelProduct(a, b, kb, c, ld);
                }
            }
        });
    }
    return m;
}

/// Solves the leading rank x rank system of the pivoted factor for one
/// right-hand side given in original order; the weights of the centres past
/// the rank are 0.
void solvePivoted(const DoubleVector& g, std::int64_t ld, std::int64_t m, std::int64_t rank,
                  const std::vector<std::int64_t>& perm, const double* rhs, double* w) {
    DoubleVector z(static_cast<std::size_t>(rank));
    for (std::int64_t k = 0; k < rank; ++k) {
        z[static_cast<std::size_t>(k)] = rhs[perm[static_cast<std::size_t>(k)]];
    }
    solveLDLTInPlace(g, ld, rank, z.data());
    std::fill(w, w + m, 0.0);
    for (std::int64_t k = 0; k < rank; ++k)
        w[perm[static_cast<std::size_t>(k)]] = z[static_cast<std::size_t>(k)];
}

/// g := Aᵀ(b - A·w) for every right-hand side, restricted to the centres with
/// a non-zero weight in A·w. Sums run in a fixed order whatever the task split.
void residualGradient(const Problem& p, const Executor& run, const std::array<double*, 3>& w,
                      const std::vector<std::int64_t>& used, DoubleVector& grad) {
    const std::int64_t n = p.n();
    const std::int64_t m = p.m();
    const int nrhs = p.nrhs;
    DoubleVector res(static_cast<std::size_t>(n * nrhs));
    constexpr std::int64_t kRows = 512;
    const int sampleTasks = static_cast<int>((n + kRows - 1) / kRows);
    run(sampleTasks, [&](int t) {
        const std::int64_t k1 = std::min(n, (t + 1) * kRows);
        for (std::int64_t k = t * kRows; k < k1; ++k) {
            double v[kMaxRhs] = {0.0, 0.0, 0.0};
            for (const std::int64_t j : used) {
                const double a = p.a(k, j);
                for (int c = 0; c < nrhs; ++c) v[c] += a * w[static_cast<std::size_t>(c)][j];
            }
            for (int c = 0; c < nrhs; ++c) {
                const std::size_t i = static_cast<std::size_t>(k * nrhs + c);
                res[i] = p.rhs[i] - v[c];
            }
        }
    });
    grad.assign(static_cast<std::size_t>(nrhs * m), 0.0);
    constexpr std::int64_t kCentres = 16;
    const std::int64_t u = static_cast<std::int64_t>(used.size());
    run(static_cast<int>((u + kCentres - 1) / kCentres), [&](int t) {
        const std::int64_t i1 = std::min(u, (t + 1) * kCentres);
        for (std::int64_t i = t * kCentres; i < i1; ++i) {
            const std::int64_t j = used[static_cast<std::size_t>(i)];
            double s[kMaxRhs] = {0.0, 0.0, 0.0};
            for (std::int64_t k = 0; k < n; ++k) {
                const double a = p.a(k, j);
                for (int c = 0; c < nrhs; ++c)
                    s[c] += a * res[static_cast<std::size_t>(k * nrhs + c)];
            }
            for (int c = 0; c < nrhs; ++c) grad[static_cast<std::size_t>(c * m + j)] = s[c];
        }
    });
}

/// Solves the fit for up to three right-hand sides. The normal equations are
/// factored as L·D·Lᵀ first. When that meets a pivot that is not positive (AᵀA
/// singular to working precision, common for smooth bases on dense centres),
/// the copy of AᵀA is factored again with diagonal pivoting, stopping at pivots
/// at rounding level (m·ε times the largest diagonal entry): the weights are
/// the least-squares fit through the centres that the pivoting selects, the
/// other centres weigh 0. Two steps of iterative refinement with residuals
/// computed from A itself (not from AᵀA) then make that fit as accurate as the
/// selected system allows.
///
/// With `ridge` > 0 the RBF weights are penalised: ridge times the mean squared
/// norm of the RBF columns of A is added to their diagonal entries of AᵀA (not
/// to those of the polynomial columns), and the refinement, which would undo
/// the penalty, is skipped.
bool solveLeastSquares(const Problem& p, const Executor& run, std::array<double*, 3> out,
                       CRBFInpainting::FitDiagnostics& diag, double ridge = 0.0) {
    const std::int64_t m = p.m();
    const std::int64_t ld = normalMatrixStride(m);
    DoubleVector g(static_cast<std::size_t>(ld * ld), 0.0);
    DoubleVector r(static_cast<std::size_t>(p.nrhs * m), 0.0);
    formNormalEquations(p, run, g, ld, r);
    if (ridge > 0.0 && p.rbf() > 0) {
        double mean = 0.0;
        for (std::int64_t j = 0; j < p.rbf(); ++j) mean += g[static_cast<std::size_t>(j * ld + j)];
        const double lambda = ridge * mean / static_cast<double>(p.rbf());
        for (std::int64_t j = 0; j < p.rbf(); ++j)
            g[static_cast<std::size_t>(j * ld + j)] += lambda;
    }
    DoubleVector normal(g);
    diag.factorised = factorLDLT(g, ld, m, run, diag.minPivot, diag.maxPivot);
    diag.usedFallback = false;
    diag.rank = m;
    if (diag.factorised) {
        for (int c = 0; c < p.nrhs; ++c) {
            double* w = out[static_cast<std::size_t>(c)];
            std::copy(r.begin() + c * m, r.begin() + (c + 1) * m, w);
            solveLDLTInPlace(g, ld, m, w);
            for (std::int64_t j = 0; j < m; ++j) {
                if (!std::isfinite(w[j])) diag.factorised = false;
            }
        }
        if (diag.factorised) return true;
    }
    g = DoubleVector();
    diag.usedFallback = true;
    double maxDiag = 0.0;
    for (std::int64_t i = 0; i < m; ++i)
        maxDiag = std::max(maxDiag, normal[static_cast<std::size_t>(i * ld + i)]);
    if (!(maxDiag > 0.0) || !std::isfinite(maxDiag)) return false;
    const double tol = static_cast<double>(m) * std::numeric_limits<double>::epsilon() * maxDiag;
    std::vector<std::int64_t> perm;
    const std::int64_t rank = factorPivoted(normal, ld, m, tol, run, perm);
    diag.rank = rank;
    if (rank == 0) return false;
    for (int c = 0; c < p.nrhs; ++c) {
        solvePivoted(normal, ld, m, rank, perm, r.data() + c * m, out[static_cast<std::size_t>(c)]);
    }
    std::vector<std::int64_t> used(perm.begin(), perm.begin() + rank);
    std::sort(used.begin(), used.end());
    DoubleVector grad;
    DoubleVector step(static_cast<std::size_t>(m));
    for (int iteration = 0; iteration < (ridge > 0.0 ? 0 : 2); ++iteration) {
        residualGradient(p, run, out, used, grad);
        for (int c = 0; c < p.nrhs; ++c) {
            solvePivoted(normal, ld, m, rank, perm, grad.data() + c * m, step.data());
            double* w = out[static_cast<std::size_t>(c)];
            for (std::int64_t j = 0; j < m; ++j) w[j] += step[static_cast<std::size_t>(j)];
        }
    }
    for (int c = 0; c < p.nrhs; ++c) {
        for (std::int64_t i = 0; i < m; ++i) {
            if (!std::isfinite(out[static_cast<std::size_t>(c)][i])) return false;
        }
    }
    return true;
}

// ---- Evaluation of the field ----------------------------------------------------------

/// CRBFInpainting::clamp, inlined into the filling: 255 above 255, 0 below 0,
/// otherwise the value as float (a NaN passes through).
inline float clampToRange(double v) {
    if (v > 255.0) return 255.0f;
    if (v < 0.0) return 0.0f;
    return static_cast<float>(v);
}

/// `clampToRange` of a float, as a select the compiler vectorises (NaN passes).
inline float clampField(float v) {
    const float low = v < 0.0f ? 0.0f : v;
    return v > 255.0f ? 255.0f : low;
}

}  // namespace

bool RBFInpaintingEngine::approximateSingleChannel(const cv::Mat& channel, const PointList& centres,
                                                   const PointList& samples,
                                                   const cv::Mat& /*exclusionMask*/,
                                                   double* weights, const double* cache) {
    CV_CheckTypeEQ(channel.type(), CV_32FC1, "approximateSingleChannel needs a CV_32F channel");
    if (centres.empty() || samples.empty() || weights == nullptr || cache == nullptr) return false;
    DoubleVector rhs(samples.size());
    for (std::size_t k = 0; k < samples.size(); ++k) {
        rhs[k] = static_cast<double>(channel.at<float>(samples[k][1], samples[k][0]));
    }
    std::vector<const double*> rows(static_cast<std::size_t>(channel.rows));
    for (int dy = 0; dy < channel.rows; ++dy) {
        rows[static_cast<std::size_t>(dy)] = cache + static_cast<std::int64_t>(dy) * channel.cols;
    }
    const Problem p{samples, centres, rows.data(), rhs, 1};
    FitDiagnostics diag;
    return solveLeastSquares(p, runSerial, {weights, nullptr, nullptr}, diag);
}

bool RBFInpaintingEngine::approximateChannels(const cv::Mat& image, const PointList& centres,
                                              const PointList& samples,
                                              std::array<double*, 3> weights,
                                              const cv::Point& origin) {
    CV_CheckTypeEQ(image.type(), CV_32FC3, "approximateChannels needs a CV_32FC3 image");
    DoubleVector rhs(samples.size() * kMaxRhs);
    for (std::size_t k = 0; k < samples.size(); ++k) {
        const cv::Vec3f& v =
            image.at<cv::Vec3f>(samples[k][1] - origin.y, samples[k][0] - origin.x);
        for (int c = 0; c < kMaxRhs; ++c) rhs[k * kMaxRhs + static_cast<std::size_t>(c)] = v[c];
    }
    const std::vector<const double*> rows = cacheRowPointers();
    const Problem p{samples, centres, rows.data(), rhs, kMaxRhs};
    const Executor run = [this](int count, const std::function<void(int)>& body) {
        runTasks(count, body);
    };
    return solveLeastSquares(p, run, weights, m_fitDiagnostics);
}

double RBFInpaintingEngine::computeValueFromRBF(const double* weights, const PointList& centres,
                                                const Point& point, const double* cache,
                                                const int& cols) {
    double value = 0.0;
    for (std::size_t j = 0; j < centres.size(); ++j) {
        const std::int64_t dy = std::abs(static_cast<std::int64_t>(centres[j][1]) - point[1]);
        const std::int64_t dx = std::abs(static_cast<std::int64_t>(centres[j][0]) - point[0]);
        value += weights[j] * cache[dy * cols + dx];
    }
    return value;
}

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

// ---- The ridge fit ----------------------------------------------------------------------

namespace {

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

bool RBFInpaintingEngine::approximateRidge() {
    const cv::Mat& mask = m_exclusionMask;
    // Centres on the ridge grid and samples on the configured grid; coarser
    // grids where the fit would exceed kMaxRidgeWork (centres first, down to
    // a few hundred, then samples).
    int centreStep = kRidgeCentreStep;
    int sampleStep = std::max(1, m_config.sampleStep);
    const int base = sampleStep;
    PointList centres;
    PointList samples;
    resampCoords(mask, centres, centreStep, false);
    resampCoords(mask, samples, sampleStep, false);
    auto work = [&] {
        const std::int64_t k = static_cast<std::int64_t>(centres.size()) + kPolyTerms;
        const std::int64_t n = static_cast<std::int64_t>(samples.size());
        return k > 0 && n > kMaxRidgeWork / (k * k) ? kMaxRidgeWork + 1 : n * k * k;
    };
    constexpr int kLargestStep = 1 << 20;
    while (work() > kMaxRidgeWork && centreStep < kLargestStep && sampleStep < kLargestStep) {
        if (centres.size() > 512) {
            centreStep *= 2;
            resampCoords(mask, centres, centreStep, false);
        } else {
            sampleStep += base;
            resampCoords(mask, samples, sampleStep, false);
        }
    }
    if (work() > kMaxRidgeWork) return false;
    const std::int64_t n = static_cast<std::int64_t>(samples.size());
    if (n < kMinRidgeSamples) return false;

    // Coordinates normalised to about ±1 over the samples' bounding box keep
    // the polynomial columns on the scale of each other.
    int xmin = samples[0][0], xmax = xmin, ymin = samples[0][1], ymax = ymin;
    for (const Point& p : samples) {
        xmin = std::min(xmin, p[0]);
        xmax = std::max(xmax, p[0]);
        ymin = std::min(ymin, p[1]);
        ymax = std::max(ymax, p[1]);
    }
    // The polynomial extrapolates freely: a fill area that reaches beyond the
    // samples' extent by more than a centre step is not estimated.
    if (!m_fillArea.empty()) {
        const cv::Rect area = cv::boundingRect(m_fillArea);
        if (area.area() > 0 &&
            (area.x < xmin - kRidgeCentreStep || area.y < ymin - kRidgeCentreStep ||
             area.x + area.width - 1 > xmax + kRidgeCentreStep ||
             area.y + area.height - 1 > ymax + kRidgeCentreStep)) {
            return false;
        }
    }
    RidgeFit fit;
    fit.cx = 0.5 * (xmin + xmax);
    fit.cy = 0.5 * (ymin + ymax);
    fit.sx = std::max(1.0, 0.5 * (xmax - xmin));
    fit.sy = std::max(1.0, 0.5 * (ymax - ymin));
    DoubleVector poly(static_cast<std::size_t>(n * kPolyTerms));
    DoubleVector rhs(static_cast<std::size_t>(n * kMaxRhs));
    for (std::int64_t k = 0; k < n; ++k) {
        const Point& p = samples[static_cast<std::size_t>(k)];
        const double u = (p[0] - fit.cx) / fit.sx;
        const double v = (p[1] - fit.cy) / fit.sy;
        double* row = poly.data() + k * kPolyTerms;
        row[0] = 1.0;
        row[1] = u;
        row[2] = v;
        row[3] = u * u;
        row[4] = u * v;
        row[5] = v * v;
        const cv::Vec3f& value =
            m_smoothedImage.at<cv::Vec3f>(p[1] - m_smoothedReach.y, p[0] - m_smoothedReach.x);
        for (int c = 0; c < kMaxRhs; ++c) rhs[static_cast<std::size_t>(k * kMaxRhs + c)] = value[c];
    }
    // The rows of the weight cache the fit reads: the offsets between sample
    // and centre rows, as wide as the largest offset between their columns.
    std::vector<int> widths(static_cast<std::size_t>(m_inputImage.rows), 0);
    if (!centres.empty()) {
        std::vector<int> sampleRows;
        std::vector<int> centreRows;
        int centreXmin = centres[0][0];
        int centreXmax = centreXmin;
        for (const Point& p : samples) sampleRows.push_back(p[1]);
        for (const Point& c : centres) {
            centreRows.push_back(c[1]);
            centreXmin = std::min(centreXmin, c[0]);
            centreXmax = std::max(centreXmax, c[0]);
        }
        for (std::vector<int>* list : {&sampleRows, &centreRows}) {
            std::sort(list->begin(), list->end());
            list->erase(std::unique(list->begin(), list->end()), list->end());
        }
        const int width = std::max(xmax - centreXmin, centreXmax - xmin) + 1;
        for (const int sy : sampleRows) {
            for (const int cy : centreRows)
                widths[static_cast<std::size_t>(std::abs(sy - cy))] = width;
        }
    }
    const BasisRows table = computeBasisRows(widths);
    const Problem problem{samples, centres, table.rowOf.data(), rhs, kMaxRhs, poly.data()};
    const std::int64_t m = problem.m();
    for (auto& w : fit.weights) w.assign(static_cast<std::size_t>(m), 0.0);
    const Executor run = [this](int count, const std::function<void(int)>& body) {
        runTasks(count, body);
    };
    constexpr double kRidge = 1e-4;
    if (!solveLeastSquares(problem, run,
                           {fit.weights[0].data(), fit.weights[1].data(), fit.weights[2].data()},
                           m_fitDiagnostics, kRidge)) {
        return false;
    }
    // Residual over the samples.
    double sum = 0.0;
    for (std::int64_t k = 0; k < n; ++k) {
        for (int c = 0; c < kMaxRhs; ++c) {
            double v = 0.0;
            for (std::int64_t j = 0; j < m; ++j) {
                v += problem.a(k, j) *
                     fit.weights[static_cast<std::size_t>(c)][static_cast<std::size_t>(j)];
            }
            const double d = v - rhs[static_cast<std::size_t>(k * kMaxRhs + c)];
            sum += d * d;
        }
    }
    fit.centres = std::move(centres);
    fit.valid = true;
    m_ridge = std::move(fit);
    m_centres = m_ridge.centres;
    m_fitDiagnostics.method = kRidgeMethod;
    m_fitDiagnostics.centres = static_cast<std::int64_t>(m_ridge.centres.size());
    m_fitDiagnostics.samples = n;
    m_fitDiagnostics.centreStep = centreStep;
    m_fitDiagnostics.sampleStep = sampleStep;
    m_fitDiagnostics.residualRms = std::sqrt(sum / (static_cast<double>(n) * kMaxRhs));
    return true;
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
