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
    py::cpp_function to_mask([self](py::object x1, py::object x2, py::object x3) {
        return self.attr("build_gt_mask")(list_of({x1, x2, x3}));
    });
    ds = ds.attr("map")(to_mask, py::arg("num_parallel_calls") = autotune);
    if (augment)
        ds = ds.attr("map")(self.attr("tf_apply_augmentation"), py::arg("num_parallel_calls") = autotune);
    py::object shape = self.attr("shape");
    ds = ds.attr("padded_batch")(py::arg("batch_size") = batch_size, py::arg("drop_remainder") = true,
                                 py::arg("padded_shapes") = py::make_tuple(shape, head(shape, 2)));
    return ds.attr("prefetch")(py::arg("buffer_size") = prefetch);
}

// ---------------------------------------------------------- validation tail

py::object val_tail(Call &c, py::object ds, py::handle prefetch) {
    py::object tf = c.g("tf");
    py::object self = py::reinterpret_borrow<py::object>(c.self);
    py::cpp_function read([self](py::object x) { return self.attr("read_data")(x, false); });
    ds = ds.attr("map")(read, py::arg("num_parallel_calls") = tf.attr("data").attr("AUTOTUNE"));
    py::cpp_function to_mask([self](py::object image, py::object polygons, py::object classes, py::object name) {
        std::vector<py::object> r =
            pyglue::unpack(self.attr("build_gt_mask")(list_of({image, polygons, classes})), 2);
        return py::make_tuple(r[0], r[1], name);
    });
    ds = ds.attr("map")(to_mask);  // one at a time, in order
    return ds.attr("prefetch")(py::arg("buffer_size") = prefetch);
}

}  // namespace seg
