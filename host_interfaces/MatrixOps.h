// Dense matrices of doubles held as row pointers, and the three-level arrays
// in which leadfields are handed to a caller.
#pragma once

#include <cstdint>

// A rows x cols matrix, stored in one block with a row-pointer table.
class CMMatrix2D {
public:
    std::int64_t numRow = 0;
    std::int64_t numCol = 0;

    CMMatrix2D() = default;
    CMMatrix2D(const CMMatrix2D& other);
    CMMatrix2D& operator=(const CMMatrix2D& other);
    ~CMMatrix2D();

    // Returns the row pointers of a rows x cols matrix, reallocating when the
    // size differs (contents are then zero; with the same size they are kept).
    // Null when a size is below 1 or allocation fails; the old matrix is then
    // released.
    double** checkInit(std::int64_t rows, std::int64_t cols, bool zero);
    double** getDataPP() const { return ppData; }
    void release();

private:
    double** ppData = nullptr;
    double* pBlock = nullptr;
};

class CMMatrix2Dkw : public CMMatrix2D {};

// Three-level arrays addressed as [i][j][k].
class CAryVctMtxBasic {
public:
    // A new n1 x n2 x n3 array of zeros (one data block plus pointer tables);
    // null when a size is below 1 or allocation fails. Release it with
    // deleteMatrix3D.
    static double*** newMatrix3D(std::int64_t n1, std::int64_t n2, std::int64_t n3, bool zero);
    // Releases an array made by newMatrix3D (null is fine) and nulls the pointer.
    static int deleteMatrix3D(double***& ppp);
};
