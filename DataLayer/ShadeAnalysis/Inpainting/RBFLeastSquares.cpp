// The least-squares solve of the RBF fits of CRBFInpainting.
//
// The fit solves min ||A·w - b|| for the three colour channels at once, where
// A(k, j) is the basis value between sample k and centre j (one lookup in the
// weight cache). A is never stored whole: AᵀA and Aᵀb are accumulated over
// blocks of samples, factored as L·D·Lᵀ, and solved for the three right-hand
// sides. The normal matrix of smooth bases is often too badly conditioned for
// that factorisation; then it is factored again with diagonal pivoting and the
// fit is made through the centres the pivoting keeps (see solveLeastSquares).

#include "DataLayer/ShadeAnalysis/Inpainting/RBFLeastSquares.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "DataLayer/ShadeAnalysis/Inpainting/RBFKernels.h"

namespace DataLayer {
namespace Inpainting {

namespace {

constexpr std::int64_t kPanel = kPanelWidth;  // centres per packed panel
constexpr std::int64_t kBlock = 256;          // samples per block of the normal equations

// Tiles of the normal-matrix kernel (RBFKernels::tileProduct).
constexpr std::int64_t kRowsOfTile = kTileRows;
constexpr std::int64_t kColsOfTile = kTileCols;
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
    const auto tileProduct = rbfKernels().tileProduct;
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
    const auto dot = rbfKernels().dot;
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
    const auto dot = rbfKernels().dot;
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
    const RBFKernels& kernels = rbfKernels();
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

}  // namespace

void runSerial(int count, const std::function<void(int)>& body) {
    for (int i = 0; i < count; ++i) body(i);
}

bool solveLeastSquares(const Problem& p, const Executor& run, std::array<double*, 3> out,
                       CRBFInpainting::FitDiagnostics& diag, double ridge) {
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

}  // namespace Inpainting
}  // namespace DataLayer
