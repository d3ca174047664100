// Pieces shared by the segmentation dataset classes: reading an image to the
// network size, resampling outlines, the ground-truth mask, the augmentation
// pipeline and the common tail of the training pipeline.
//
// Every function that takes a pyglue::Call looks library names up in the
// module namespace through c.g(), so a caller's rebinding takes effect, and
// reads the instance through c.self. None of them keeps state between calls:
// they run on several tf.data worker threads at once for one dataset.
#pragma once

#include "pyglue.h"

#include <cstddef>
#include <string>
#include <vector>

namespace seg {
namespace py = pybind11;

// ------------------------------------------------------------ Python helpers

// `a, b, c = obj`: exactly n items, with the interpreter's unpacking errors.
std::vector<py::object> unpack(py::handle obj, std::size_t n);

// The truth value of obj (raises what bool(obj) raises).
bool truthy(py::handle obj);

// `from module import name`, with the ImportError that statement gives.
py::object import_from(const char *module, const char *name);

// Attaches `note` to the exception held by `e` (exception notes exist from
// Python 3.11 on; older interpreters keep the exception as it is). The
// exception's type and message do not change.
void add_note(py::error_already_set &e, const std::string &note);

// Runs fn(); an exception escaping it propagates as a Python exception with
// `note` attached.
template <class F>
auto with_note(const std::string &note, F &&fn) -> decltype(fn()) {
    try {
        return fn();
    } catch (py::error_already_set &e) {
        add_note(e, note);
        throw;
    } catch (...) {
        pyglue::set_error_from_current_exception();
        py::error_already_set e;
        add_note(e, note);
        throw e;
    }
}

// ------------------------------------------------------------------ reading

// The image file at `path`, opened with PIL, converted to RGB, as a uint8
// height x width x 3 array.
py::object open_rgb(pyglue::Call &c, py::handle path);

// An image brought to self.shape[:2] and the numbers that map normalised
// vertices onto it (mask_padding's w, h, padw, padh).
struct Fitted {
    py::object image, w, h, padw, padh;
};

// With `letter_box`: letterbox(image, self.shape[:2], auto=False), w and h the
// source size times the reported ratios, the reported pad as offsets.
// Without: cv2.resize to (shape[1], shape[0]), w, h the target size, no
// offsets.
Fitted fit_to_shape(pyglue::Call &c, py::object image, bool letter_box);

// A JSON polygon ([[x, y], ...]) as a NumPy array: the array np.array would
// make, built directly for the common list-of-pairs case.
py::object polygon_array(pyglue::Call &c, py::handle value);

// Outlines of one sample resampled to num_points points each.
struct Resampled {
    // float32 M x num_points x 2, or the empty float32 array of shape (0,)
    // when no outline is left.
    py::object masks;
    // For each row of masks, the index of its outline in the input.
    std::vector<std::size_t> kept;
};

// Resamples outlines given in output pixels (N x 2 each, as mask_padding
// returns them) by arc length. While the module's `interp1d` is SciPy's own
// the native kernel does it without the GIL; a rebound `interp1d` is called
// as interp1d(distance, points, kind="slinear", axis=0)(alpha). Outlines of
// total length 0 are left out (the caller drops their classes); repeated
// vertices are dropped first, so no NaN can arise. Raises ValueError for a
// non-finite coordinate, for num_points < 1 and for outlines that are not
// N x 2.
Resampled resample_outlines(pyglue::Call &c, const std::vector<py::object> &points,
                            py::handle num_points);

// np.array(values, dtype=np.int32).
py::object int32_array(pyglue::Call &c, const std::vector<py::object> &values);

// ------------------------------------------------- mask and augmentation

// The augmentation pipeline for self.shape. `channel_ops` includes
// A.ChannelDropout and A.ChannelShuffle (entries 2 and 3).
py::object build_augmentation_pipeline(pyglue::Call &c, bool channel_ops);

// Method tables shared by the dataset classes (same names, parameters and
// behaviour in each): `_build_gt_mask(masks, classes)`, `build_gt_mask(data)`
// (tf.function), `apply_augmentation(image, mask)`,
// `tf_apply_augmentation(image, mask)` (tf.function).
extern const pyglue::MethodDef kBuildGtMaskPlain;
extern const pyglue::MethodDef kBuildGtMask;
extern const pyglue::MethodDef kApplyAugmentation;
extern const pyglue::MethodDef kTfApplyAugmentation;

// Training stages after the reader: map build_gt_mask over (image, polygons,
// classes), map tf_apply_augmentation, padded_batch(batch_size,
// drop_remainder=True, padded_shapes=(shape, shape[:2])), prefetch.
py::object train_tail(pyglue::Call &c, py::object ds, py::handle batch_size, py::handle prefetch);

// Creates SegmentationDatasetJsonCOCO in the module namespace `ns`.
void add_coco_class(py::dict ns);

}  // namespace seg
