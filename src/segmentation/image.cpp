#include "image.h"

#include "idioms.h"

namespace seg {

using pyglue::Call;
using pyglue::getitem;
using pyglue::head;
using pyglue::unpack;

py::object open_rgb(Call &c, py::handle path) {
    py::object im = c.g("Image").attr("open")(path);
    py::object rgb;
    try {
        rgb = pyglue::closing(im, [&] { return im.attr("convert")("RGB"); });
    } catch (py::error_already_set &e) {
        // PIL reports some corrupt data found while decoding (a broken PNG
        // chunk) as SyntaxError, which no caller expects from an image: give
        // it PIL's own error for an undecodable file, keeping the cause.
        if (!e.matches(PyExc_SyntaxError)) throw;
        py::object error = c.g("Image").attr("UnidentifiedImageError");
        std::string msg = py::str("cannot decode image file {!r}: {}")
                              .attr("format")(path, e.value())
                              .cast<std::string>();
        py::raise_from(e, error.ptr(), msg.c_str());
        throw py::error_already_set();
    }
    py::object np = c.g("np");
    // A writable array, as callers (and a rebound letterbox) may change it in
    // place; asarray would hand out PIL's read-only buffer. The copy is small
    // next to the decode.
    return np.attr("array")(rgb, py::arg("dtype") = np.attr("uint8"));
}

Fitted fit_to_shape(Call &c, py::object image, bool letter_box) {
    py::object shape = c.self.attr("shape");
    py::object dims = image.attr("shape");
    py::object oH = getitem(dims, 0), oW = getitem(dims, 1);
    Fitted f;
    if (letter_box) {
        py::object r = c.g("letterbox")(image, head(shape, 2), py::arg("auto") = false);
        std::vector<py::object> items = unpack(r, 3);
        f.image = items[0];
        f.w = getitem(items[1], 0) * oW;
        f.h = getitem(items[1], 1) * oH;
        f.padw = getitem(items[2], 0);
        f.padh = getitem(items[2], 1);
    } else {
        py::object width = getitem(shape, 1), height = getitem(shape, 0);
        f.image = c.g("cv2").attr("resize")(image, py::make_tuple(width, height));
        f.w = width;
        f.h = height;
        f.padw = py::int_(0);
        f.padh = py::int_(0);
    }
    return f;
}

}  // namespace seg
