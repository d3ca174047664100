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

// ---------------------------------------------------------- validation tail

py::object val_tail(Call &c, py::object ds, py::handle prefetch, py::object read) {
    py::object tf = c.g("tf");
    py::object self = py::reinterpret_borrow<py::object>(c.self);
    if (!read) read = py::cpp_function([self](py::object x) { return self.attr("read_data")(x, false); });
    ds = ds.attr("map")(read, py::arg("num_parallel_calls") = tf.attr("data").attr("AUTOTUNE"));
    // (image, polygons, classes[, regions, frame], name)
    py::cpp_function to_mask([self](py::args xs) {
        py::list data(xs);
        py::object name = data.attr("pop")();
        std::vector<py::object> r = pyglue::unpack(self.attr("build_gt_mask")(data), 2);
        return py::make_tuple(r[0], r[1], name);
    });
    ds = ds.attr("map")(to_mask);  // one at a time, in order
    return ds.attr("prefetch")(py::arg("buffer_size") = prefetch);
}

py::object train_or_val_reader(Call &c, const char *method, py::list tout) {
    py::object tf = c.g("tf");
    // Decided while tracing: the iterators pass a Python bool.
    if (!pyglue::truthy(c[1])) tout.append(tf.attr("string"));
    return tf.attr("py_function")(pyglue::weak_method(c.self, method), list_of({c[0], c[1]}), py::arg("Tout") = tout);
}

py::object keyed_train_iterator(Call &c, const std::function<py::object()> &reader) {
    if (c[2].is_none() && c[3].is_none()) return py::object();
    py::object self = py::reinterpret_borrow<py::object>(c.self);
    py::object build = pyglue::import_from("quorvane.trellisk.datasets._sampling",
                                           "segmentation_train_iterator");
    return build(self, c[0], c[1], reader(), c[2], c[3], py::arg("augment") = pyglue::truthy(c[4]));
}

const char *const kKeyedTrainDoc =
    "\n\n"
    "repeat_threshold (keyword, in (0, 1]): repeat-factor sampling. A class held\n"
    "by a fraction f of the training pictures gives each of them the factor\n"
    "sqrt(repeat_threshold / f); a picture comes max(1, its largest factor)\n"
    "times per pass, the fraction rounded at random by (seed, pass, picture).\n"
    "Classes come from the annotations alone, read once (describe() then\n"
    "carries them). get_num_train_samples() still counts the pictures; the\n"
    "pipeline's training_passes gives each pass's exact length.\n"
    "start=(pass_number, batch) (keyword): resume a run exactly. Passes are\n"
    "numbered from pass_number and its first `batch` batches are left out by\n"
    "index, before any file is read. Needs the native augmentation engine\n"
    "(datasets.augment.use_native_augmentation(dataset, seed)), whose seed keys\n"
    "the order and augmentation of every sample by (seed, pass, position); the\n"
    "augmentation library's draws cannot be replayed, so it is refused.";

}  // namespace seg
