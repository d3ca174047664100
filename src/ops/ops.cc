// TensorFlow ops over the native kernels, for tf.data graphs that run without
// Python: letterbox/stretch, annotation reading, outline resampling, class
// mask painting and detection boxes (records: record_dataset_op.cc). Each kernel converts tensors to raw
// buffers, calls the shared C++ kernel and reports bad input as
// InvalidArgument naming the file or record.
#include "annotation.h"
#include "boxes/boxes.h"
#include "outline/records.h"
#include "paint.h"
#include "ranges.h"
#include "resample.h"
#include "resize.h"
#include "rle.h"
#include "vertices.h"

#include "op_common.h"
#include "tensorflow/core/platform/env.h"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace trellisk_ops {

namespace {

// The scalar string input `index` (a file name or record name for messages).
std::string scalar_string(OpKernelContext *ctx, int index) {
    const Tensor &t = ctx->input(index);
    if (t.NumElements() != 1) return "";
    return std::string(t.flat<tstring>()(0));
}

Status scalar_input(InferenceContext *c, int index) {
    ShapeHandle unused;
    return c->WithRank(c->input(index), 0, &unused);
}

// The "height" and "width" attributes of an op that makes an image or mask
// of that size; `what` names it in the error for a size past 2**20.
void output_size(OpKernelConstruction *ctx, const char *what, int *height, int *width) {
    int64_t h, w;
    OP_REQUIRES_OK(ctx, ctx->GetAttr("height", &h));
    OP_REQUIRES_OK(ctx, ctx->GetAttr("width", &w));
    OP_REQUIRES(ctx, h <= (1 << 20) && w <= (1 << 20),
                errors::InvalidArgument(what, " size ", h, " x ", w, " is too large"));
    *height = static_cast<int>(h);
    *width = static_cast<int>(w);
}

// A height x width mask, from the op's attributes.
Status mask_shape(InferenceContext *c) {
    int64_t height, width;
    TF_RETURN_IF_ERROR(c->GetAttr("height", &height));
    TF_RETURN_IF_ERROR(c->GetAttr("width", &width));
    c->set_output(0, c->Matrix(height, width));
    return Status();
}

}  // namespace

// ------------------------------------------------------------------ letterbox

REGISTER_OP("TrelliskLetterbox")
    .Input("image: uint8")
    .Input("source: string")
    .Output("output: uint8")
    .Output("frame: float64")
    .Attr("height: int >= 1")
    .Attr("width: int >= 1")
    .Attr("letterbox: bool = true")
    .SetShapeFn([](InferenceContext *c) {
        ShapeHandle image;
        TF_RETURN_IF_ERROR(c->WithRank(c->input(0), 3, &image));
        TF_RETURN_IF_ERROR(scalar_input(c, 1));
        int64_t height, width;
        TF_RETURN_IF_ERROR(c->GetAttr("height", &height));
        TF_RETURN_IF_ERROR(c->GetAttr("width", &width));
        c->set_output(0, c->MakeShape({c->MakeDim(height), c->MakeDim(width), c->Dim(image, 2)}));
        c->set_output(1, c->Vector(4));
        return Status();
    })
    .Doc(R"doc(
Brings an image to height x width: letterboxed (scaled by one ratio, centred
on grey 114) or stretched, with OpenCV's bilinear pixels. `frame` holds
(w, h, padw, padh): normalised x maps to w * x + padw, y to h * y + padh.
`source` names the image in error messages.
)doc");

class LetterboxOp : public OpKernel {
  public:
    explicit LetterboxOp(OpKernelConstruction *ctx) : OpKernel(ctx) {
        OP_REQUIRES_OK(ctx, ctx->GetAttr("letterbox", &letterbox_));
        output_size(ctx, "target", &height_, &width_);
    }

    void Compute(OpKernelContext *ctx) override {
        const Tensor &image = ctx->input(0);
        const std::string source = scalar_string(ctx, 1);
        OP_REQUIRES(ctx, image.dims() == 3,
                    errors::InvalidArgument(source, ": expected an image of rank 3 (height, width, channels), got shape ",
                                            image.shape().DebugString()));
        const int64_t sh = image.dim_size(0), sw = image.dim_size(1), cn = image.dim_size(2);
        OP_REQUIRES(ctx, sh > 0 && sw > 0 && cn > 0,
                    errors::InvalidArgument(source, ": empty image of shape ", image.shape().DebugString()));
        OP_REQUIRES(ctx, sh < (1 << 30) && sw < (1 << 30) && cn <= 512,
                    errors::InvalidArgument(source, ": image of shape ", image.shape().DebugString(), " is too large"));
        const imaging::Frame frame = letterbox_ ? imaging::letterbox_frame(int(sh), int(sw), height_, width_)
                                                : imaging::stretch_frame(height_, width_);
        Tensor *out = nullptr;
        OP_REQUIRES_OK(ctx, ctx->allocate_output(0, TensorShape({height_, width_, cn}), &out));
        Tensor *frame_out = nullptr;
        OP_REQUIRES_OK(ctx, ctx->allocate_output(1, TensorShape({4}), &frame_out));
        const imaging::ConstView src{image.flat<uint8_t>().data(), int(sh), int(sw), int(cn), sw * cn};
        const imaging::View dst{out->flat<uint8_t>().data(), height_, width_, int(cn),
                                static_cast<std::ptrdiff_t>(width_) * cn};
        if (letterbox_)
            imaging::letterbox(src, frame, dst);
        else
            imaging::resize_linear(src, dst);
        auto f = frame_out->flat<double>();
        f(0) = frame.w;
        f(1) = frame.h;
        f(2) = frame.padw;
        f(3) = frame.padh;
    }

  private:
    int height_ = 0, width_ = 0;
    bool letterbox_ = true;
};

REGISTER_KERNEL_BUILDER(Name("TrelliskLetterbox").Device(DEVICE_CPU), LetterboxOp);

// ------------------------------------------------------------ annotation file

REGISTER_OP("TrelliskReadAnnotation")
    .Input("path: string")
    .Input("image_dir: string")
    .Output("image_path: string")
    .Output("vertices: float64")
    .Output("splits: int64")
    .Output("classes: int32")
    .Attr("segments: bool = true")
    .SetShapeFn([](InferenceContext *c) {
        TF_RETURN_IF_ERROR(scalar_input(c, 0));
        TF_RETURN_IF_ERROR(scalar_input(c, 1));
        c->set_output(0, c->Scalar());
        c->set_output(1, c->MakeShape({c->UnknownDim(), c->MakeDim(2)}));
        c->set_output(2, c->Vector(c->UnknownDim()));
        c->set_output(3, c->Vector(c->UnknownDim()));
        return Status();
    })
    .Doc(R"doc(
Reads one JSON annotation file: the image path (image_dir joined with the
last component of "image"), the normalised vertices of every part with at
least )doc" + std::to_string(rules::kMinPartVertices) +
         R"doc( of them, the part boundaries (splits, one more than the parts)
and the part classes. With segments false no parts are read.
)doc");

class ReadAnnotationOp : public OpKernel {
  public:
    explicit ReadAnnotationOp(OpKernelConstruction *ctx) : OpKernel(ctx) {
        OP_REQUIRES_OK(ctx, ctx->GetAttr("segments", &segments_));
    }

    void Compute(OpKernelContext *ctx) override {
        OP_REQUIRES(ctx, ctx->input(0).dims() == 0 && ctx->input(1).dims() == 0,
                    errors::InvalidArgument("path and image_dir must be scalar strings"));
        const std::string path = scalar_string(ctx, 0);
        const std::string folder = scalar_string(ctx, 1);
        std::string text;
        const Status read = ::tensorflow::ReadFileToString(ctx->env(), path, &text);
        OP_REQUIRES(ctx, read.ok(),
                    Status(read.code(), "annotation file " + path + ": " + std::string(read.message())));
        annotation::Sample sample;
        std::string error;
        OP_REQUIRES(ctx, annotation::read(text, segments_, sample, error),
                    errors::InvalidArgument("annotation file ", path, ": ", error));

        Tensor *image_path = nullptr, *vertices = nullptr, *splits = nullptr, *classes = nullptr;
        OP_REQUIRES_OK(ctx, ctx->allocate_output(0, TensorShape({}), &image_path));
        image_path->scalar<tstring>()() = annotation::join(folder, sample.image);
        const int64_t nv = static_cast<int64_t>(sample.xy.size() / 2);
        OP_REQUIRES_OK(ctx, ctx->allocate_output(1, TensorShape({nv, 2}), &vertices));
        std::copy(sample.xy.begin(), sample.xy.end(), vertices->flat<double>().data());
        OP_REQUIRES_OK(ctx, ctx->allocate_output(2, TensorShape({int64_t(sample.splits.size())}), &splits));
        std::copy(sample.splits.begin(), sample.splits.end(), splits->flat<int64_t>().data());
        OP_REQUIRES_OK(ctx, ctx->allocate_output(3, TensorShape({int64_t(sample.classes.size())}), &classes));
        std::copy(sample.classes.begin(), sample.classes.end(), classes->flat<int32_t>().data());
    }

  private:
    bool segments_ = true;
};

REGISTER_KERNEL_BUILDER(Name("TrelliskReadAnnotation").Device(DEVICE_CPU), ReadAnnotationOp);

// ----------------------------------------------------------------- resampling

REGISTER_OP("TrelliskResampleOutlines")
    .Input("vertices: float64")
    .Input("splits: int64")
    .Input("classes: int32")
    .Input("frame: float64")
    .Input("source: string")
    .Output("polygons: float32")
    .Output("kept_classes: int32")
    .Attr("num_points: int >= 1")
    .SetShapeFn([](InferenceContext *c) {
        int64_t n;
        TF_RETURN_IF_ERROR(c->GetAttr("num_points", &n));
        c->set_output(0, c->MakeShape({c->UnknownDim(), c->MakeDim(n), c->MakeDim(2)}));
        c->set_output(1, c->Vector(c->UnknownDim()));
        return Status();
    })
    .Doc(R"doc(
Maps normalised outlines into output pixels (x * w + padw, y * h + padh with
frame = (w, h, padw, padh)) and resamples each to num_points points evenly
spaced along its open outline. Outlines of length 0 are left out with their
class; a non-finite coordinate is an error naming `source`.
)doc");

class ResampleOutlinesOp : public OpKernel {
  public:
    explicit ResampleOutlinesOp(OpKernelConstruction *ctx) : OpKernel(ctx) {
        int64_t n;
        OP_REQUIRES_OK(ctx, ctx->GetAttr("num_points", &n));
        OP_REQUIRES(ctx, n <= (1 << 24), errors::InvalidArgument("num_points ", n, " is too large"));
        num_points_ = static_cast<std::size_t>(n);
    }

    void Compute(OpKernelContext *ctx) override {
        const Tensor &vertices = ctx->input(0);
        const Tensor &splits = ctx->input(1);
        const Tensor &classes = ctx->input(2);
        const Tensor &frame = ctx->input(3);
        const std::string source = scalar_string(ctx, 4);
        OP_REQUIRES(ctx, vertices.dims() == 2 && vertices.dim_size(1) == 2,
                    errors::InvalidArgument(source, ": vertices must be V x 2, got ", vertices.shape().DebugString()));
        OP_REQUIRES(ctx, splits.dims() == 1 && classes.dims() == 1 && splits.NumElements() == classes.NumElements() + 1,
                    errors::InvalidArgument(source, ": splits must have one entry more than classes"));
        OP_REQUIRES(ctx, frame.NumElements() == 4, errors::InvalidArgument(source, ": frame must hold 4 values"));
        const int64_t count = classes.NumElements();
        const int64_t nv = vertices.dim_size(0);
        auto sp = splits.flat<int64_t>();
        OP_REQUIRES(ctx, sp(0) == 0 && sp(count) == nv,
                    errors::InvalidArgument(source, ": splits must run from 0 to the number of vertices"));
        for (int64_t k = 0; k < count; ++k)
            OP_REQUIRES(ctx, sp(k) <= sp(k + 1), errors::InvalidArgument(source, ": splits must not decrease"));

        auto f = frame.flat<double>();
        const double w = f(0), h = f(1), padw = f(2), padh = f(3);
        const double *in = vertices.flat<double>().data();
        // In pixels of the output image, in the order of the reference
        // computation (scale, then offset), so the values match bit for bit.
        std::vector<double> px(static_cast<std::size_t>(2 * nv));
        for (int64_t i = 0; i < nv; ++i) {
            px[2 * i] = w * in[2 * i] + padw;
            px[2 * i + 1] = h * in[2 * i + 1] + padh;
        }
        std::vector<seg::Polyline> lines(static_cast<std::size_t>(count));
        for (int64_t k = 0; k < count; ++k)
            lines[k] = seg::Polyline{px.data() + 2 * sp(k), static_cast<std::size_t>(sp(k + 1) - sp(k))};
        std::vector<float> out(static_cast<std::size_t>(count) * num_points_ * 2);
        std::vector<seg::Outline> status(static_cast<std::size_t>(count));
        const std::size_t written =
            seg::resample_all(lines.data(), static_cast<std::size_t>(count), num_points_, out.data(), status.data());
        for (int64_t k = 0; k < count; ++k)
            OP_REQUIRES(ctx, status[k] != seg::Outline::NonFinite,
                        errors::InvalidArgument(source, ": polygon ", k,
                                                " has coordinates that are not finite numbers within the float32 range"));
        Tensor *polygons = nullptr, *kept = nullptr;
        OP_REQUIRES_OK(ctx, ctx->allocate_output(0, TensorShape({int64_t(written), int64_t(num_points_), 2}), &polygons));
        std::copy(out.begin(), out.begin() + written * num_points_ * 2, polygons->flat<float>().data());
        OP_REQUIRES_OK(ctx, ctx->allocate_output(1, TensorShape({int64_t(written)}), &kept));
        auto kc = kept->flat<int32_t>();
        auto cl = classes.flat<int32_t>();
        int64_t j = 0;
        for (int64_t k = 0; k < count; ++k)
            if (status[k] == seg::Outline::Ok) kc(j++) = cl(k);
    }

  private:
    std::size_t num_points_ = 1;
};

REGISTER_KERNEL_BUILDER(Name("TrelliskResampleOutlines").Device(DEVICE_CPU), ResampleOutlinesOp);

// ------------------------------------------------------------------ the mask

REGISTER_OP("TrelliskPaintMask")
    .Input("polygons: float32")
    .Input("classes: int32")
    .Output("mask: int32")
    .Attr("height: int >= 1")
    .Attr("width: int >= 1")
    .SetShapeFn(mask_shape)
    .Doc(R"doc(
Paints the class mask: 0 for background, class + 1 inside polygon i (later
polygons over earlier ones), as OpenCV's fillPoly fills the vertices
truncated toward zero. polygons is M x P x 2 (x, y) in pixels. A class id
outside 0..)doc" + std::to_string(rules::kMaxClassId) + R"doc( or a non-finite coordinate is InvalidArgument.
)doc");

// Paints the polygons (M x P x 2, class ids M) and the regions in drawing
// order on a zeroed mask; bad input is InvalidArgument (prefixed by
// `where`). Shared by the two mask ops.
static void paint_mask(OpKernelContext *ctx, const Tensor &polygons, const Tensor &classes,
                const std::vector<rle::Region> &regions, const rle::Placement &at, Tensor *mask,
                const std::string &where) {
    int32_t *canvas = mask->flat<int32_t>().data();
    const int height = static_cast<int>(mask->dim_size(0)), width = static_cast<int>(mask->dim_size(1));
    std::fill(canvas, canvas + static_cast<std::size_t>(height) * width, 0);
    OP_REQUIRES(ctx, polygons.dims() == 3 && polygons.dim_size(2) == 2,
                errors::InvalidArgument(where, "polygons must be M x num_points x 2, got ",
                                        polygons.shape().DebugString()));
    // One class per polygon: a mismatch means the two came from different samples.
    const int64_t count = polygons.dim_size(0);
    OP_REQUIRES(ctx, count == classes.NumElements(),
                errors::InvalidArgument(where, "polygons holds ", count, " polygons but classes holds ",
                                        classes.NumElements(), " class ids"));
    const int64_t points = polygons.dim_size(1);
    auto cl = classes.flat<int32_t>();
    // Every id before any pixel: 0 is the background and the mask holds
    // id + 1, so the largest int32 has no mask value of its own.
    for (int64_t i = 0; i < count; ++i)
        OP_REQUIRES(ctx, rules::class_id(static_cast<int64_t>(cl(i))),
                    errors::InvalidArgument(where, "polygon ", i, ": class id ", cl(i), " is outside 0..",
                                            rules::kMaxClassId, " (the mask holds id + 1 as int32)"));
    std::vector<int32_t> xy(static_cast<std::size_t>(count * points * 2));
    const float *src = polygons.flat<float>().data();
    for (int64_t i = 0; i < count; ++i)
        OP_REQUIRES(ctx, imaging::truncate_vertices(src + i * points * 2, static_cast<std::size_t>(points * 2),
                                                    xy.data() + i * points * 2),
                    errors::InvalidArgument(where, "polygon ", i, " has a coordinate that is not finite"));
    const imaging::Canvas c{canvas, height, width};
    rle::paint_in_order(c, static_cast<std::size_t>(points ? count : 0), regions, at, [&](std::size_t i) {
        imaging::fill_polygon(c, xy.data() + i * static_cast<std::size_t>(points) * 2,
                              static_cast<std::size_t>(points), rules::mask_value(cl(i)));
    });
}

class PaintMaskOp : public OpKernel {
  public:
    explicit PaintMaskOp(OpKernelConstruction *ctx) : OpKernel(ctx) { output_size(ctx, "mask", &height_, &width_); }

    void Compute(OpKernelContext *ctx) override {
        Tensor *mask = nullptr;
        OP_REQUIRES_OK(ctx, ctx->allocate_output(0, TensorShape({height_, width_}), &mask));
        paint_mask(ctx, ctx->input(0), ctx->input(1), {}, rle::Placement{0, 0, 0, 0}, mask, "");
    }

  private:
    int height_ = 0, width_ = 0;
};

REGISTER_KERNEL_BUILDER(Name("TrelliskPaintMask").Device(DEVICE_CPU), PaintMaskOp);

// -------------------------------------------- the mask with RLE regions

REGISTER_OP("TrelliskPaintMaskRegions")
    .Input("polygons: float32")
    .Input("classes: int32")
    .Input("texts: string")
    .Input("list_values: int64")
    .Input("list_splits: int64")
    .Input("info: int64")
    .Input("ids: string")
    .Input("frame: float64")
    .Input("source: string")
    .Output("mask: int32")
    .Attr("height: int >= 1")
    .Attr("width: int >= 1")
    .SetShapeFn(mask_shape)
    .Doc(R"doc(
The class mask of TrelliskPaintMask with COCO RLE regions painted among the
polygons. Region r: info[r] = (compressed, height, width, expected height,
expected width (-1: not given), mask value, polygons before it); its runs
are texts[r] (compressed) or list_values[list_splits[r]:list_splits[r+1]].
Each mask pixel takes the source pixel under its centre through frame
(w, h, padw, padh). A broken region is InvalidArgument naming `source` and
the annotation (ids[r]).
)doc");

class PaintMaskRegionsOp : public OpKernel {
  public:
    explicit PaintMaskRegionsOp(OpKernelConstruction *ctx) : OpKernel(ctx) {
        output_size(ctx, "mask", &height_, &width_);
    }

    void Compute(OpKernelContext *ctx) override {
        const Tensor &texts = ctx->input(2), &values = ctx->input(3), &splits = ctx->input(4),
                     &info = ctx->input(5), &ids = ctx->input(6), &frame = ctx->input(7);
        const std::string source = scalar_string(ctx, 8);
        const int64_t count = texts.NumElements();
        OP_REQUIRES(ctx, info.dims() == 2 && info.dim_size(0) == count && info.dim_size(1) == 7 &&
                             ids.NumElements() == count && splits.NumElements() == count + 1,
                    errors::InvalidArgument(source, ": region inputs disagree in length"));
        OP_REQUIRES(ctx, frame.NumElements() == 4, errors::InvalidArgument(source, ": frame must hold 4 values"));
        auto sp = splits.flat<int64_t>();
        auto in = info.matrix<int64_t>();
        const int64_t *list = values.flat<int64_t>().data();
        std::vector<std::vector<int64_t>> runs(static_cast<std::size_t>(count));
        std::vector<rle::Region> regions;
        for (int64_t r = 0; r < count; ++r) {
            std::vector<int64_t> &mine = runs[static_cast<std::size_t>(r)];
            rle::Error e;
            if (in(r, 0)) {
                const tstring &text = texts.flat<tstring>()(r);
                e = rle::decode_text(text.data(), text.size(), mine);
            } else {
                OP_REQUIRES(ctx, 0 <= sp(r) && sp(r) <= sp(r + 1) && sp(r + 1) <= values.NumElements(),
                            errors::InvalidArgument(source, ": list_splits out of range"));
                mine.assign(list + sp(r), list + sp(r + 1));
            }
            if (!e) e = rle::check_for_image(mine.data(), mine.size(), in(r, 1), in(r, 2), in(r, 3), in(r, 4));
            OP_REQUIRES(ctx, !e && in(r, 6) >= 0,
                        errors::InvalidArgument(source, ": annotation ", std::string(ids.flat<tstring>()(r)),
                                                ": RLE ", e ? e.reason : "placed before the first polygon"));
            OP_REQUIRES(ctx, in(r, 5) >= 0 && in(r, 5) <= std::numeric_limits<int32_t>::max(),
                        errors::InvalidArgument(source, ": annotation ", std::string(ids.flat<tstring>()(r)),
                                                ": mask value ", in(r, 5), " does not fit an int32 mask"));
            regions.push_back(rle::Region{mine.data(), mine.size(), in(r, 1), in(r, 2),
                                          static_cast<int32_t>(in(r, 5)), in(r, 6)});
        }
        auto f = frame.flat<double>();
        Tensor *mask = nullptr;
        OP_REQUIRES_OK(ctx, ctx->allocate_output(0, TensorShape({height_, width_}), &mask));
        paint_mask(ctx, ctx->input(0), ctx->input(1), regions, rle::Placement{f(0), f(1), f(2), f(3)}, mask,
                   source + ": ");
    }

  private:
    int height_ = 0, width_ = 0;
};

REGISTER_KERNEL_BUILDER(Name("TrelliskPaintMaskRegions").Device(DEVICE_CPU), PaintMaskRegionsOp);

// ------------------------------------------------------------ detection boxes

REGISTER_OP("TrelliskDetectionBoxes")
    .Input("objects: int64")
    .Input("bboxes: float32")
    .Input("frame: float64")
    .Input("image_size: int32")
    .Input("source: string")
    .Output("boxes: float32")
    .Attr("training: bool")
    .Attr("height: int >= 1")
    .Attr("width: int >= 1")
    .Attr("class_offset: int")
    .SetShapeFn([](InferenceContext *c) {
        c->set_output(0, c->MakeShape({c->UnknownDim(), c->MakeDim(boxes::kColumns)}));
        return Status();
    })
    .Doc(R"doc(
Boxes [x1, y1, x2, y2, label] of one detection record from its "objects"
and "bboxes" (x-centre, y-centre, width, height normalised) values. Training:
pixels of the height x width output through frame (w, h, padw, padh),
clipped to it. Validation: fractions of image_size (height, width), clipped
to [0, 1]. No objects gives the single row [0, 0, 0, 0, 0].
)doc");

class DetectionBoxesOp : public OpKernel {
  public:
    explicit DetectionBoxesOp(OpKernelConstruction *ctx) : OpKernel(ctx) {
        int64_t h, w;
        OP_REQUIRES_OK(ctx, ctx->GetAttr("training", &training_));
        OP_REQUIRES_OK(ctx, ctx->GetAttr("height", &h));
        OP_REQUIRES_OK(ctx, ctx->GetAttr("width", &w));
        OP_REQUIRES_OK(ctx, ctx->GetAttr("class_offset", &class_offset_));
        height_ = static_cast<float>(h);
        width_ = static_cast<float>(w);
    }

    void Compute(OpKernelContext *ctx) override {
        const Tensor &objects = ctx->input(0);
        const Tensor &bboxes = ctx->input(1);
        const Tensor &frame = ctx->input(2);
        const Tensor &size = ctx->input(3);
        const std::string source = scalar_string(ctx, 4);
        OP_REQUIRES(ctx, frame.NumElements() == 4 && size.NumElements() == 2,
                    errors::InvalidArgument(source, ": frame must hold 4 values and image_size 2"));
        // The scale of the boxes: a letterbox frame (training) or the image
        // size (validation). Anything but a positive finite scale would give
        // NaN boxes (0 x infinity, 0 / 0).
        {
            auto f = frame.flat<double>();
            auto sz = size.flat<int32_t>();
            const bool scale_ok = training_ ? std::isfinite(f(0)) && std::isfinite(f(1)) && f(0) > 0 && f(1) > 0 &&
                                                  std::isfinite(f(2)) && std::isfinite(f(3))
                                            : sz(0) > 0 && sz(1) > 0;
            OP_REQUIRES(ctx, scale_ok,
                        errors::InvalidArgument(source, training_ ? ": the letterbox frame must hold positive finite "
                                                                    "scales and finite offsets"
                                                                  : ": the image size must be positive"));
        }
        const int64_t n = objects.NumElements();
        const int64_t *obj = objects.flat<int64_t>().data();
        for (int64_t i = 0; i < n; ++i)
            OP_REQUIRES(ctx, rules::label(obj[i], class_offset_),
                        errors::InvalidArgument("record ", source, ": label ", obj[i], " of object ", i,
                                                " is not a class index (an integer from 0 to ",
                                                rules::max_label(class_offset_), ")"));
        Tensor *out = nullptr;
        if (n == 0) {
            OP_REQUIRES_OK(ctx, ctx->allocate_output(0, TensorShape({1, boxes::kColumns}), &out));
            out->flat<float>().setZero();
            return;
        }
        OP_REQUIRES(ctx, bboxes.NumElements() % boxes::kValues == 0,
                    errors::InvalidArgument("record ", source, ": \"bboxes\" holds ", bboxes.NumElements(),
                                            " values, not a multiple of ", boxes::kValues));
        const float *values = bboxes.flat<float>().data();
        for (int64_t i = 0; i + boxes::kValues <= bboxes.NumElements(); i += boxes::kValues) {
            const char *why = boxes::problem(values + i);
            OP_REQUIRES(ctx, why == nullptr,
                        errors::InvalidArgument("record ", source, ": box ", i / boxes::kValues, " has ", why));
        }
        OP_REQUIRES(ctx, bboxes.NumElements() / boxes::kValues == n,
                    errors::InvalidArgument("record ", source, ": ", n, " \"objects\" but ",
                                            bboxes.NumElements() / boxes::kValues, " boxes in \"bboxes\""));
        OP_REQUIRES_OK(ctx, ctx->allocate_output(0, TensorShape({n, boxes::kColumns}), &out));
        const float *b = bboxes.flat<float>().data();
        float *o = out->flat<float>().data();
        auto f = frame.flat<double>();
        auto sz = size.flat<int32_t>();
        const boxes::Frame fr{static_cast<float>(f(0)), static_cast<float>(f(1)), static_cast<float>(f(2)),
                              static_cast<float>(f(3))};
        const float stored_w = static_cast<float>(sz(1)), stored_h = static_cast<float>(sz(0));
        for (int64_t i = 0; i < n; ++i) {
            const float *x = b + boxes::kValues * i;
            float *row = o + boxes::kColumns * i;
            if (training_)
                boxes::training_box(x, fr, width_, height_, row);
            else
                boxes::validation_box(x, stored_w, stored_h, row);
            row[boxes::kLabelColumn] = static_cast<float>(static_cast<double>(obj[i] + class_offset_));
        }
    }

  private:
    bool training_ = true;
    float height_ = 0.f, width_ = 0.f;
    int64_t class_offset_ = 0;
};

REGISTER_KERNEL_BUILDER(Name("TrelliskDetectionBoxes").Device(DEVICE_CPU), DetectionBoxesOp);

REGISTER_OP("TrelliskRecordOutlines")
    .Input("classes: int64")
    .Input("parts: int64")
    .Input("vertices: int64")
    .Input("xy: float32")
    .Input("objects: int64")
    .Input("image_size: int32")
    .Input("source: string")
    .Output("points: float32")
    .Output("outline_parts: int32")
    .Output("outline_classes: int32")
    .Attr("max_class: int")
    .Attr("match_objects: bool")
    .Attr("require: bool = false")
    .Attr("height: int >= 0 = 0")
    .Attr("width: int >= 0 = 0")
    .Attr("letterbox: bool = true")
    .SetShapeFn([](InferenceContext *c) {
        c->set_output(0, c->Matrix(c->UnknownDim(), c->MakeDim(2)));
        c->set_output(1, c->Matrix(c->UnknownDim(), c->MakeDim(3)));
        c->set_output(2, c->Vector(c->UnknownDim()));
        return Status();
    })
    .Doc(R"doc(
The outlines of one record from its outline features (one class and part
count per object, one vertex count per part, flat normalised x, y), checked:
counts agree, coordinates finite and in 0..1, classes in 0..max_class and,
with match_objects, one outline object per detection object of the same class
(a record without outlines passes, unless require is set and it has objects). Returns points [V, 2]: normalised, or
with height and width in pixels of the picture of image_size (height, width)
letterboxed or stretched to that size (x w + padw in float32, as the boxes),
outline_parts [P, 3] rows (object, first vertex, vertex count) and
outline_classes [M]. A bad record is InvalidArgument naming source.
)doc");

class RecordOutlinesOp : public OpKernel {
  public:
    explicit RecordOutlinesOp(OpKernelConstruction *ctx) : OpKernel(ctx) {
        OP_REQUIRES_OK(ctx, ctx->GetAttr("max_class", &max_class_));
        OP_REQUIRES_OK(ctx, ctx->GetAttr("match_objects", &match_objects_));
        OP_REQUIRES_OK(ctx, ctx->GetAttr("require", &require_));
        OP_REQUIRES_OK(ctx, ctx->GetAttr("height", &height_));
        OP_REQUIRES_OK(ctx, ctx->GetAttr("width", &width_));
        OP_REQUIRES_OK(ctx, ctx->GetAttr("letterbox", &letterbox_));
        OP_REQUIRES(ctx, (height_ == 0) == (width_ == 0) && height_ <= (1 << 20) && width_ <= (1 << 20),
                    errors::InvalidArgument("height and width must both be 0 (normalised) or both 1 to 2**20"));
    }

    void Compute(OpKernelContext *ctx) override {
        const std::string source = scalar_string(ctx, 6);
        const Tensor &size = ctx->input(5);
        float frame[4] = {1.f, 1.f, 0.f, 0.f};  // w, h, padw, padh
        if (height_ > 0) {
            OP_REQUIRES(ctx, size.NumElements() == 2 && size.flat<int32_t>()(0) > 0 && size.flat<int32_t>()(1) > 0,
                        errors::InvalidArgument("record ", source, ": image_size must be a positive (height, width)"));
            const imaging::Frame f =
                letterbox_ ? imaging::letterbox_frame(size.flat<int32_t>()(0), size.flat<int32_t>()(1), int(height_),
                                                      int(width_))
                           : imaging::stretch_frame(int(height_), int(width_));
            frame[0] = float(f.w), frame[1] = float(f.h), frame[2] = float(f.padw), frame[3] = float(f.padh);
        }
        outline::RecordOutlines r;
        r.classes = ctx->input(0).flat<int64_t>().data();
        r.num_classes = ctx->input(0).NumElements();
        r.parts = ctx->input(1).flat<int64_t>().data();
        r.num_parts = ctx->input(1).NumElements();
        r.vertices = ctx->input(2).flat<int64_t>().data();
        r.num_vertices = ctx->input(2).NumElements();
        r.xy = ctx->input(3).flat<float>().data();
        r.num_xy = ctx->input(3).NumElements();
        const Tensor &objects = ctx->input(4);
        std::vector<outline::Part> parts;
        const std::string err = outline::check_record_outlines(
            r, max_class_, match_objects_ ? objects.flat<int64_t>().data() : nullptr, objects.NumElements(), require_, &parts);
        OP_REQUIRES(ctx, err.empty(), errors::InvalidArgument("record ", source, ": ", err));
        Tensor *points = nullptr, *out_parts = nullptr, *classes = nullptr;
        OP_REQUIRES_OK(ctx, ctx->allocate_output(0, TensorShape({r.num_xy / 2, 2}), &points));
        float *pt = points->flat<float>().data();
        for (int64_t i = 0; i < r.num_xy; ++i) pt[i] = frame[i & 1] * r.xy[i] + frame[2 + (i & 1)];
        OP_REQUIRES_OK(ctx, ctx->allocate_output(1, TensorShape({static_cast<int64_t>(parts.size()), 3}), &out_parts));
        int32_t *p = out_parts->flat<int32_t>().data();
        for (const outline::Part &part : parts) *p++ = part.object, *p++ = part.first, *p++ = part.count;
        OP_REQUIRES_OK(ctx, ctx->allocate_output(2, TensorShape({r.num_classes}), &classes));
        for (int64_t m = 0; m < r.num_classes; ++m) classes->flat<int32_t>()(m) = static_cast<int32_t>(r.classes[m]);
    }

  private:
    int64_t max_class_ = 0;
    bool match_objects_ = true, require_ = false, letterbox_ = true;
    int64_t height_ = 0, width_ = 0;
};

REGISTER_KERNEL_BUILDER(Name("TrelliskRecordOutlines").Device(DEVICE_CPU), RecordOutlinesOp);

REGISTER_OP("TrelliskRecordRegions")
    .Input("region_objects: int64")
    .Input("region_counts: string")
    .Input("classes: int32")
    .Input("record_size: int64")
    .Input("source: string")
    .Output("info: int64")
    .SetShapeFn([](InferenceContext *c) {
        c->set_output(0, c->Matrix(c->UnknownDim(), c->MakeDim(7)));
        return Status();
    })
    .Doc(R"doc(
The RLE regions of one record (region_objects, region_counts) checked against
its outline objects (classes, one per object, from TrelliskRecordOutlines)
and its record_size (height, width): the two lists agree, objects in range
and increasing, every compressed text decodes at height x width. Returns
one row per region (1, height, width, height, width, class + 1, object): the
info rows of TrelliskPaintMaskRegions but for the last column, which holds
the object where the painter takes the polygons before it. A bad record is
InvalidArgument naming source.
)doc");

class RecordRegionsOp : public OpKernel {
  public:
    explicit RecordRegionsOp(OpKernelConstruction *ctx) : OpKernel(ctx) {}

    void Compute(OpKernelContext *ctx) override {
        const Tensor &objects = ctx->input(0), &counts = ctx->input(1), &classes = ctx->input(2),
                     &size = ctx->input(3);
        const std::string source = scalar_string(ctx, 4);
        std::vector<std::string_view> texts;
        texts.reserve(size_t(counts.NumElements()));
        for (int64_t r = 0; r < counts.NumElements(); ++r) {
            const tstring &t = counts.flat<tstring>()(r);
            texts.emplace_back(t.data(), t.size());
        }
        int64_t height = -1, width = -1;
        if (size.NumElements() == 2) height = size.flat<int64_t>()(0), width = size.flat<int64_t>()(1);
        const std::string err = outline::check_record_regions(objects.flat<int64_t>().data(), objects.NumElements(),
                                                              texts, classes.NumElements(), height, width);
        OP_REQUIRES(ctx, err.empty(), errors::InvalidArgument("record ", source, ": ", err));
        Tensor *info = nullptr;
        OP_REQUIRES_OK(ctx, ctx->allocate_output(0, TensorShape({int64_t(texts.size()), 7}), &info));
        auto out = info->matrix<int64_t>();
        for (int64_t r = 0; r < int64_t(texts.size()); ++r) {
            const int64_t m = objects.flat<int64_t>()(r);
            const int64_t row[7] = {1, height, width, height, width, int64_t(classes.flat<int32_t>()(m)) + 1, m};
            for (int k = 0; k < 7; ++k) out(r, k) = row[k];
        }
    }
};

REGISTER_KERNEL_BUILDER(Name("TrelliskRecordRegions").Device(DEVICE_CPU), RecordRegionsOp);

}  // namespace trellisk_ops
