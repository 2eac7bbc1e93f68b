// Least-squares fitting for the distortion engine: zeroed double matrices,
// accumulation of normal equations, a Gauss-Jordan solver with full pivoting
// and the closed-form inverse of a perspective coefficient set. A matrix is
// an array of row addresses; every row has the same column count.
#include <cmath>
#include <utility>

#include "gfx/gfx.h"
#include "gfx/effects_private.h"
#include "platform/linux/platform.h"

double** AllocDoubleMatrix(int32_t rows, int32_t columns) {
  if (rows <= 0 || columns <= 0) return nullptr;
  auto** m = static_cast<double**>(AllocMemoryArray(static_cast<size_t>(rows), sizeof(double*), 1));
  if (!m) return nullptr;
  for (int32_t i = 0; i < rows; ++i) {
    m[i] = static_cast<double*>(AllocMemoryArray(static_cast<size_t>(columns), sizeof(double), 1));
    if (!m[i]) {
      FreeDoubleMatrix(m, i);
      return nullptr;
    }
  }
  return m;
}

void FreeDoubleMatrix(double** matrix, int32_t rows) {
  if (!matrix) return;
  for (int32_t i = 0; i < rows; ++i) FreeMemory(matrix[i]);
  FreeMemory(matrix);
}

void LeastSquaresAddTerms(double** m, double** vectors, const double* terms, const double* results,
                          int32_t n, int32_t count) {
  for (int32_t i = 0; i < n; ++i)
    for (int32_t j = 0; j < n; ++j) m[i][j] += terms[i] * terms[j];
  for (int32_t k = 0; k < count; ++k)
    for (int32_t j = 0; j < n; ++j) vectors[k][j] += results[k] * terms[j];
}

int32_t GaussJordanSolve(double** m, double** vectors, int32_t n, int32_t count) {
  if (n <= 0) return 0;
  auto* pivots =
      static_cast<int32_t*>(AllocMemoryArray(static_cast<size_t>(n), sizeof(int32_t), 1));
  auto* rowsOf =
      static_cast<int32_t*>(AllocMemoryArray(static_cast<size_t>(n), sizeof(int32_t), 1));
  auto* colsOf =
      static_cast<int32_t*>(AllocMemoryArray(static_cast<size_t>(n), sizeof(int32_t), 1));
  int32_t ok = -1;
  if (pivots && rowsOf && colsOf) {
    ok = 1;
    for (int32_t pass = 0; pass < n && ok; ++pass) {
      double best = 0.0;
      int32_t prow = -1, pcol = -1;
      for (int32_t j = 0; j < n && ok; ++j) {
        if (pivots[j] == 1) continue;
        for (int32_t k = 0; k < n; ++k) {
          if (pivots[k] == 0) {
            // A later element of equal magnitude replaces the best, so an
            // all-zero remainder still picks a pivot (and fails below).
            if (std::fabs(m[j][k]) >= best) {
              best = std::fabs(m[j][k]);
              prow = j;
              pcol = k;
            }
          } else if (pivots[k] > 1) {
            ok = 0;
            break;
          }
        }
      }
      // NaN elements never compare as a best: no pivot means singular.
      if (!ok || pcol < 0) {
        ok = 0;
        break;
      }
      ++pivots[pcol];
      if (prow != pcol) {
        std::swap(m[prow], m[pcol]);
        for (int32_t k = 0; k < count; ++k) std::swap(vectors[k][prow], vectors[k][pcol]);
      }
      rowsOf[pass] = prow;
      colsOf[pass] = pcol;
      double pivot = m[pcol][pcol];
      if (pivot == 0.0 || !std::isfinite(pivot)) {
        ok = 0;
        break;
      }
      double inv = 1.0 / pivot;
      m[pcol][pcol] = 1.0;
      for (int32_t j = 0; j < n; ++j) m[pcol][j] *= inv;
      for (int32_t k = 0; k < count; ++k) vectors[k][pcol] *= inv;
      for (int32_t r = 0; r < n; ++r) {
        if (r == pcol) continue;
        double f = m[r][pcol];
        m[r][pcol] = 0.0;
        for (int32_t j = 0; j < n; ++j) m[r][j] -= m[pcol][j] * f;
        for (int32_t k = 0; k < count; ++k) vectors[k][r] -= vectors[k][pcol] * f;
      }
    }
    if (ok) {
      for (int32_t pass = n - 1; pass >= 0; --pass) {
        if (rowsOf[pass] == colsOf[pass]) continue;
        for (int32_t r = 0; r < n; ++r) std::swap(m[r][rowsOf[pass]], m[r][colsOf[pass]]);
      }
    }
  }
  FreeMemory(pivots);
  FreeMemory(rowsOf);
  FreeMemory(colsOf);
  return ok;
}

bool InvertPerspective(const double c[8], double out[8]) {
  double det = c[0] * c[4] - c[3] * c[1];
  // A singular mapping has no inverse; dividing would hand infinities to
  // the callers, which turn coordinates into integers.
  if (det == 0.0 || !std::isfinite(det)) return false;
  double d = 1.0 / det;
  double r[8] = {(c[4] - c[7] * c[5]) * d,        (c[7] * c[2] - c[1]) * d,
                 (c[1] * c[5] - c[4] * c[2]) * d, (c[6] * c[5] - c[3]) * d,
                 (c[0] - c[6] * c[2]) * d,        (c[3] * c[2] - c[0] * c[5]) * d,
                 (c[3] * c[7] - c[6] * c[4]) * d, (c[6] * c[1] - c[0] * c[7]) * d};
  for (double v : r)
    if (!std::isfinite(v)) return false;
  for (int i = 0; i < 8; ++i) out[i] = r[i];
  return true;
}
