// The segmentation augmentation recipe: its entries in order, how often each
// one fires and the ranges it draws from. Two pipelines read it: the library
// pipeline (src/segmentation/augmentation.cpp) passes these values to the
// augmentation library's transforms, and the native engine (engine.cpp,
// filters.cpp) draws its plans from them. Change a value here and both
// change; the comparison tests (tests/test_augment.py) hold them equal.
//
// Entries, in order:
//   1. one of: horizontal flip | shift-scale-rotate (Lanczos image, grey fill)
//   2. channel dropout        (not for COCO datasets)
//   3. channel shuffle        (not for COCO datasets)
//   4. defocus
//   5. one of: elastic warp | piecewise-affine warp (nearest)
//   6. random sized crop, resized by nearest neighbour to the dataset shape
#pragma once

namespace trellisk {
namespace augment {
namespace recipe {

struct Range {
    double lo, hi;
};
struct IntRange {
    int lo, hi;
};

// A choice of two (entries 1 and 5) is made with the library's default
// probability for its choice transform, the entries' own probabilities
// weighing which of the two runs.
constexpr double kOneOfP = 0.5;
constexpr double choose_first(double p_first, double p_second) { return p_first / (p_first + p_second); }

// Pixel codes as OpenCV and the library define them.
constexpr int kNearest = 0;
constexpr int kLanczos = 4;
constexpr int kConstantBorder = 0;
constexpr int kFill = 114;  // image fill of the shift-scale-rotate and elastic entries (each channel)

// 1a. Horizontal flip.
constexpr double kFlipP = 0.5;

// 1b. Shift-scale-rotate: the scale factor is 1 + a draw from kScaleLimit,
// the shifts fractions of the width and height, the angle in degrees.
constexpr double kShiftScaleRotateP = 0.5;
constexpr bool kShiftScaleRotateAlways = true;
constexpr Range kShiftX{-0.5, 0.5};
constexpr Range kShiftY{-0.5, 0.5};
constexpr Range kScaleLimit{-0.3, 1.2};
constexpr IntRange kRotateLimit{-20, 20};
constexpr int kShiftScaleRotateInterpolation = kLanczos;

// 2. Channel dropout: one channel set to kChannelFill.
constexpr double kChannelDropoutP = 0.3;
constexpr IntRange kChannelDropRange{1, 1};
constexpr int kChannelFill = 0;

// 3. Channel shuffle.
constexpr double kChannelShuffleP = 0.1;

// 4. Defocus: disk radius and the Gaussian blur of its edge.
constexpr double kDefocusP = 0.05;
constexpr IntRange kDefocusRadius{3, 10};
constexpr Range kAliasBlur{0.1, 0.5};

// 5a. Elastic warp: an affine step moving three points by up to
// kElasticAlphaAffine pixels each, then a displacement field of strength
// kElasticAlpha smoothed with a Gaussian of kElasticSigma.
constexpr double kElasticP = 0.2;
constexpr double kElasticAlpha = 1.0;
constexpr double kElasticSigma = 50.0;
constexpr double kElasticAlphaAffine = 50.0;
constexpr int kElasticInterpolation = kNearest;

// 5b. Piecewise-affine warp over a kGrid x kGrid control grid whose points
// move by a normal jitter, its deviation drawn from kPiecewiseScale (a
// fraction of the size); uncovered pixels become kPiecewiseFill in image
// and mask.
constexpr double kPiecewiseP = 0.2;
constexpr Range kPiecewiseScale{0.03, 0.05};
constexpr int kGrid = 4;
constexpr int kPiecewiseInterpolation = kNearest;
constexpr int kPiecewiseFill = 0;
constexpr int kPiecewiseAbsoluteScale = 0;
constexpr double kKeypointsThreshold = 0.01;

// 6. Random sized crop: a square (kCropAspect) of height height // 5 to
// height // 2, resized to the dataset shape.
constexpr double kCropP = 0.2;
constexpr int kCropMinDivisor = 5;
constexpr int kCropMaxDivisor = 2;
constexpr double kCropAspect = 1.0;
constexpr int kCropInterpolation = kNearest;

// What the engine's code assumes of the recipe rather than reads from it.
static_assert(kChannelDropRange.lo == 1 && kChannelDropRange.hi == 1, "the engine drops exactly one channel");
static_assert(kCropAspect == 1.0, "the engine crops squares");
static_assert(kElasticAlpha == 1.0, "the engine does not scale the elastic field");
static_assert(kGrid == 4, "the engine's piecewise-affine grid is 4 x 4 (its diagonals fit 9 bits)");
static_assert(kShiftScaleRotateInterpolation == kLanczos && kElasticInterpolation == kNearest &&
                  kPiecewiseInterpolation == kNearest && kCropInterpolation == kNearest,
              "the engine resamples shift-scale-rotate with Lanczos and the other entries by nearest neighbour");
static_assert(kPiecewiseFill == 0 && kPiecewiseAbsoluteScale == 0, "the engine fills piecewise-affine gaps with 0");

}  // namespace recipe
}  // namespace augment
}  // namespace trellisk
