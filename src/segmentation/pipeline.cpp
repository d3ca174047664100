#include "pipeline.h"

#include "idioms.h"

namespace seg {

using pyglue::Call;
using pyglue::head;
using pyglue::list_of;

// ------------------------------------------------------------ training tail

py::object train_tail(Call &c, py::object ds, py::handle batch_size, py::handle prefetch, bool augment) {
    py::object tf = c.g("tf");
    py::object autotune = tf.attr("data").attr("AUTOTUNE");
    py::object self = py::reinterpret_borrow<py::object>(c.self);
    // (image, polygons, classes), or with a COCO sample's RLE regions and frame.
    py::cpp_function to_mask([self](py::args xs) { return self.attr("build_gt_mask")(py::list(xs)); });
    ds = ds.attr("map")(to_mask, py::arg("num_parallel_calls") = autotune);
    if (augment)
        ds = ds.attr("map")(self.attr("tf_apply_augmentation"), py::arg("num_parallel_calls") = autotune);
    py::object shape = self.attr("shape");
    ds = ds.attr("padded_batch")(py::arg("batch_size") = batch_size, py::arg("drop_remainder") = true,
                                 py::arg("padded_shapes") = py::make_tuple(shape, head(shape, 2)));
    return ds.attr("prefetch")(py::arg("buffer_size") = prefetch);
}

}  // namespace seg
