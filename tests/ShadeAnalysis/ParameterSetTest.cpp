#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "DataLayer/Errors/OrvException.h"
#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"

namespace {

using DataLayer::CParameterSetColorCalibrationTarget;
using EParameterSet = Base::IParameterSetColorCalibrationTarget::EParameterSet;

struct ExpectedRow {
    EParameterSet set;
    float side;
    float grid;
    float scaledPatch;
    unsigned int radius;
    int blur;
    float labRadius;
    unsigned int minCluster;
    unsigned int maxCluster;
    bool externalWhite;
    bool transposedLut;
};

// The table every chart type must reproduce, written out by hand (grid lengths
// as single-precision floats of side * sqrt(2)).
const ExpectedRow kRows[] = {
    {EParameterSet::eCCTPrint, 56.0f, 79.19596f, 784.0f, 85, 3, 15.0f, 64, 260, false, false},
    {EParameterSet::eQCCPrint, 76.0f, 107.48023f, 1444.0f, 115, 5, 25.0f, 119, 480, false, true},
    {EParameterSet::eCCTXRite, 60.0f, 107.0f, 900.0f, 85, 3, 15.0f, 74, 299, true, false},
    {EParameterSet::eQCCXRite, 60.0f, 105.0f, 900.0f, 85, 3, 15.0f, 74, 299, true, false},
    {EParameterSet::eQCCPrintSmall, 60.0f, 84.85281f, 900.0f, 85, 5, 25.0f, 74, 299, false, true},
};

TEST(CParameterSetColorCalibrationTarget, EveryChartTypeYieldsItsTableRow) {
    using Set = CParameterSetColorCalibrationTarget;
    std::vector<int> identity(20);
    std::vector<int> transposed(20);
    for (int i = 0; i < 20; ++i) {
        identity[i] = i;
        transposed[i] = (i % 4) * 5 + i / 4;
        EXPECT_EQ(Set::sc_aiColorIndexLUTCCTPrint[i], identity[i]);
        EXPECT_EQ(Set::sc_aiColorIndexLUTCCTXRite[i], identity[i]);
        EXPECT_EQ(Set::sc_aiColorIndexLUTQCCXRite[i], identity[i]);
        EXPECT_EQ(Set::sc_aiColorIndexLUTQCCPrint[i], transposed[i]);
    }
    EXPECT_EQ(Set::s_iNumberOfClusters, 20);
    const float sqrt2 = static_cast<float>(std::sqrt(2.0));
    for (const ExpectedRow& row : kRows) {
        SCOPED_TRACE(static_cast<int>(row.set));
        const Set p(row.set);
        EXPECT_EQ(p.GetSegmentSideLength(), row.side);
        EXPECT_FLOAT_EQ(p.GetGridLength(), row.grid);
        if (!row.externalWhite) {  // printed charts: the single-precision product
            EXPECT_EQ(p.GetGridLength(), row.side * sqrt2);
        }
        EXPECT_EQ(p.GetScaledPatchSize(), row.scaledPatch);
        EXPECT_EQ(p.GetNumberOfClusters(), 20);
        EXPECT_EQ(p.GetWhiteAreaStencilRadius(), row.radius);
        EXPECT_EQ(p.GetDownsamplingScale(), 0.25f);
        EXPECT_EQ(p.GetBlurKernelSize(), row.blur);
        EXPECT_EQ(p.GetLabClusterRadius(), row.labRadius);
        EXPECT_EQ(p.GetMinimalClusterSize(), row.minCluster);
        EXPECT_EQ(p.GetMaximalClusterSize(), row.maxCluster);
        EXPECT_EQ(p.GetMaximumNumberOfReclusteringOperations(), 5u);
        EXPECT_EQ(p.GetAcceptedHoleRatio(), 0.03f);
        EXPECT_EQ(p.IsUseExternalWhiteImg(), row.externalWhite);
        EXPECT_EQ(p.GetColorIndexLut(), row.transposedLut ? transposed : identity);
    }
}

TEST(CParameterSetColorCalibrationTarget, UnknownValueThrowsWithItsRaisingSite) {
    for (int value : {5, -1}) {
        SCOPED_TRACE(value);
        try {
            CParameterSetColorCalibrationTarget p(static_cast<EParameterSet>(value));
            FAIL() << "no exception";
        } catch (const DataLayer::OrvException& e) {
            EXPECT_EQ(e.GetMessageText(), L"unknown enumereation");
            EXPECT_STREQ(e.what(), "unknown enumereation");
            EXPECT_EQ(e.GetCodeLine(), 89u);
            EXPECT_STREQ(e.GetFilename(),
                         "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget");
            EXPECT_STREQ(e.GetFunctionName(),
                         "DataLayer::CParameterSetColorCalibrationTarget::"
                         "CParameterSetColorCalibrationTarget");
        }
    }
}

}  // namespace
