// Internal: a small dense matrix with 1-based checked element access, its
// singular value decomposition (Golub-Reinsch) and the back-substitution that
// solves a least-squares system from it. Not exported; the surface fit is its
// only user.
#pragma once

#include <cstdint>

namespace tamrix::detail {

// sqrt(a^2 + b^2) without overflow or destructive underflow of the squares.
double hypotenuse(double a, double b);

class CMatrix {
public:
    // rows x columns doubles, row-major, not initialised. Element positions
    // are 32-bit: a size of 2^32 elements or more throws std::bad_alloc
    // instead of allocating short.
    CMatrix(uint32_t rows, uint32_t columns);
    ~CMatrix();
    CMatrix(const CMatrix&) = delete;
    CMatrix& operator=(const CMatrix&) = delete;

    uint32_t getDimM() const { return DimM; }
    uint32_t getDimN() const { return DimN; }

    // Element (i, j), 1-based. A failed index check ends the process through
    // the standard assertion facility, in release builds too.
    double get(uint32_t i, uint32_t j) const
    {
        CheckElement(i, j);
        return Data[(i - 1) * DimN + (j - 1)];
    }
    void set(uint32_t i, uint32_t j, double value)
    {
        CheckElement(i, j);
        Data[(i - 1) * DimN + (j - 1)] = value;
    }

    // Storage position i - 1: element i of a column or a row vector.
    double get(uint32_t i) const
    {
        CheckIndex(i);
        return Data[i - 1];
    }
    void set(uint32_t i, double value)
    {
        CheckIndex(i);
        Data[i - 1] = value;
    }

    // Overwrites this m x n matrix A with U and fills the n x n matrices W
    // (singular values on the diagonal, zeros elsewhere; neither sorted nor
    // necessarily all converged) and V, so that A = U diag(w) V^T.
    void decompose(CMatrix* W, CMatrix* V);

    // With this matrix the U of a decomposition and its W and V: writes into
    // the n-vector x the least-squares solution of A x = b for the m-vector b.
    // Singular values that are exactly 0 drop out.
    void backSubstitute(CMatrix* W, CMatrix* V, CMatrix* x, CMatrix* b);

private:
    // The cheap comparisons stay inline; a failure re-evaluates the condition
    // through assert in matrix.cpp, so the message is the standard one with
    // the checked expression. Index 0 is rejected as well.
    void CheckElement(uint32_t i, uint32_t j) const
    {
        if (!(i <= DimM && j <= DimN) || i == 0 || j == 0)
            ElementCheckFailed(i, j);
    }
    void CheckIndex(uint32_t i) const
    {
        if (!(i <= DimM || i <= DimN) || i == 0 || i > Count)
            IndexCheckFailed(i);
    }
    [[noreturn]] void ElementCheckFailed(uint32_t i, uint32_t j) const;
    [[noreturn]] void IndexCheckFailed(uint32_t i) const;

    uint32_t DimM;
    uint32_t DimN;
    uint32_t Count; // DimM * DimN, which fits by construction
    double* Data;
};

} // namespace tamrix::detail
