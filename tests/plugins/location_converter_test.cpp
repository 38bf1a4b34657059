// The datum conversions, checked to six decimals against values worked out from the formulas.
#include "plugins/HYBLocationConverter.h"

#include <gtest/gtest.h>

namespace {

using plugins::HYBLocationConverter;
using Coordinate = HYBLocationConverter::Coordinate;

void expectNear(Coordinate actual, Coordinate expected) {
    EXPECT_NEAR(actual.latitude, expected.latitude, 5e-7) << actual.latitude << "," << actual.longitude;
    EXPECT_NEAR(actual.longitude, expected.longitude, 5e-7) << actual.latitude << "," << actual.longitude;
}

TEST(LocationConverterTest, APointInChinaIsShiftedAndTheSingleReflectionComesBackCloseButNotExact) {
    const Coordinate beijing{39.908, 116.397};
    const Coordinate gcj = HYBLocationConverter::wgs84ToGcj02(beijing);
    expectNear(gcj, {39.909403, 116.403243});

    const Coordinate back = HYBLocationConverter::gcj02ToWgs84(gcj);
    EXPECT_NEAR(back.latitude, beijing.latitude, 1e-4);
    EXPECT_NEAR(back.longitude, beijing.longitude, 1e-4);
    EXPECT_FALSE(back == beijing);

    expectNear(HYBLocationConverter::wgs84ToBd09(beijing), {39.915506, 116.409702});
}

TEST(LocationConverterTest, PointsOutsideTheBoxKeepTheirPlaceButTheBaiduStepsApplyEverywhere) {
    for (Coordinate outside : {Coordinate{0, 0}, Coordinate{51.5, -0.12}, Coordinate{39.9, 72.0039}, Coordinate{39.9, 137.8348},
                               Coordinate{0.8292, 100}, Coordinate{55.8272, 100}}) {
        EXPECT_EQ(HYBLocationConverter::wgs84ToGcj02(outside), outside);
        EXPECT_EQ(HYBLocationConverter::gcj02ToWgs84(outside), outside);
    }
    expectNear(HYBLocationConverter::wgs84ToBd09({51.5, -0.12}), {51.505980, -0.113644});
}

TEST(LocationConverterTest, TheBoxBoundsCountAsInside) {
    expectNear(HYBLocationConverter::wgs84ToGcj02({30, 72.004}), {29.996900, 72.007886});
    EXPECT_EQ(HYBLocationConverter::wgs84ToGcj02({30, 72.0039}), (Coordinate{30, 72.0039}));
    EXPECT_FALSE(HYBLocationConverter::outOfChina(0.8293, 137.8347));
    EXPECT_FALSE(HYBLocationConverter::outOfChina(55.8271, 72.004));
    EXPECT_TRUE(HYBLocationConverter::outOfChina(55.8272, 72.004));
}

TEST(LocationConverterTest, BaiduRoundTripsComeBackClose) {
    for (Coordinate point : {Coordinate{39.909403, 116.403243}, Coordinate{22.3, 114.1}, Coordinate{-33.9, 151.2}}) {
        const Coordinate back = HYBLocationConverter::bd09ToGcj02(HYBLocationConverter::gcj02ToBd09(point));
        EXPECT_NEAR(back.latitude, point.latitude, 1e-5);
        EXPECT_NEAR(back.longitude, point.longitude, 1e-5);
    }
    const Coordinate wgs{39.908, 116.397};
    const Coordinate back = HYBLocationConverter::bd09ToWgs84(HYBLocationConverter::wgs84ToBd09(wgs));
    EXPECT_NEAR(back.latitude, wgs.latitude, 1e-4);
    EXPECT_NEAR(back.longitude, wgs.longitude, 1e-4);
}

} // namespace
