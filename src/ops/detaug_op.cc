// TrelliskDetectionAugment: the detection augmentation engine as a
// TensorFlow op. One output per call, built around one member of a group of
// samples; the draws depend only on (seed, pass_number, index).
#include "detaug/engine.h"

#include "op_common.h"

#include <string>
#include <vector>

namespace trellisk_ops {

namespace da = ::trellisk::detaug;

REGISTER_OP("TrelliskDetectionAugment")
    .Input("images: uint8")
    .Input("boxes: float32")
    .Input("counts: int32")
    .Input("main: int64")
    .Input("seed: int64")
    .Input("pass_number: int64")
    .Input("index: int64")
    .Input("outline_xy: float32")
    .Input("outline_parts: int32")
    .Output("out_image: uint8")
    .Output("out_boxes: float32")
    .Attr("config: string")
    .SetShapeFn([](InferenceContext *c) {
        ShapeHandle images;
        TF_RETURN_IF_ERROR(c->WithRank(c->input(0), 4, &images));
        c->set_output(0, c->MakeShape({c->Dim(images, 1), c->Dim(images, 2), c->MakeDim(3)}));
        c->set_output(1, c->Matrix(c->UnknownDim(), c->MakeDim(5)));
        return Status();
    })
    .Doc(R"doc(
Augments a group of k detection samples into one output built around member
`main`: images [k, H, W, 3] uint8 at the config's size, boxes [k, N, 5] float32
rows [x1, y1, x2, y2, label] in pixels (rows at and beyond counts[j] ignored),
counts [k] int32. outline_xy [k, V, 2] float32 (pixels) and outline_parts
[k, P, 3] int32 rows (box row, first vertex, vertex count; count 0 is padding)
give objects their outlines, whose boxes are then the extent of the warped
outline clipped to the picture (V = P = 0: none). config is
DetectionAugmentConfig.serialized. Returns the
image [H, W, 3] and the surviving boxes [M, 5] (one row of zeros when none is
left). The same inputs and (seed, pass_number, index) give the same bytes as
quorvane.trellisk.datasets._detaug.augment_group.
)doc");

class DetectionAugmentOp : public OpKernel {
  public:
    explicit DetectionAugmentOp(OpKernelConstruction *ctx) : OpKernel(ctx) {
        std::string text;
        OP_REQUIRES_OK(ctx, ctx->GetAttr("config", &text));
        const std::string err = da::parse_serialized(text, &config_);
        OP_REQUIRES(ctx, err.empty(), errors::InvalidArgument("detection augmentation config: ", err));
    }

    void Compute(OpKernelContext *ctx) override {
        const Tensor &images = ctx->input(0);
        const Tensor &boxes = ctx->input(1);
        const Tensor &counts = ctx->input(2);
        OP_REQUIRES(ctx, images.dims() == 4 && images.dim_size(3) == 3 && images.dim_size(1) == config_.height &&
                             images.dim_size(2) == config_.width && images.dim_size(0) >= 1,
                    errors::InvalidArgument("images must be [k, ", config_.height, ", ", config_.width,
                                            ", 3] with k >= 1 (the config's size), got ", images.shape().DebugString()));
        const int64_t k = images.dim_size(0);
        OP_REQUIRES(ctx, k <= da::kMaxGroup, errors::InvalidArgument("a group holds at most ", da::kMaxGroup,
                                                                     " samples, got ", k));
        OP_REQUIRES(ctx, boxes.dims() == 3 && boxes.dim_size(0) == k && boxes.dim_size(2) == 5 &&
                             boxes.dim_size(1) <= da::kMaxBoxes,
                    errors::InvalidArgument("boxes must be [", k, ", N, 5], got ", boxes.shape().DebugString()));
        OP_REQUIRES(ctx, counts.dims() == 1 && counts.dim_size(0) == k,
                    errors::InvalidArgument("counts must be [", k, "], got ", counts.shape().DebugString()));
        for (int i = 3; i < 7; ++i)
            OP_REQUIRES(ctx, ctx->input(i).NumElements() == 1,
                        errors::InvalidArgument("main, seed, pass_number and index must be scalars, got ",
                                                ctx->input(i).shape().DebugString()));
        const int64_t main = ctx->input(3).flat<int64_t>()(0);
        const uint64_t seed = static_cast<uint64_t>(ctx->input(4).flat<int64_t>()(0));
        const int64_t pass = ctx->input(5).flat<int64_t>()(0);
        const uint64_t index = static_cast<uint64_t>(ctx->input(6).flat<int64_t>()(0));
        OP_REQUIRES(ctx, main >= 0 && main < k,
                    errors::InvalidArgument("main must be in 0..", k - 1, " (the group's members), got ", main));
        OP_REQUIRES(ctx, pass >= 0, errors::InvalidArgument("pass_number must be >= 0, got ", pass));

        const Tensor &xy = ctx->input(7);
        const Tensor &parts = ctx->input(8);
        OP_REQUIRES(ctx, xy.dims() == 3 && xy.dim_size(0) == k && xy.dim_size(2) == 2 &&
                             xy.dim_size(1) <= da::kMaxVertices,
                    errors::InvalidArgument("outline_xy must be [", k, ", V, 2], got ", xy.shape().DebugString()));
        OP_REQUIRES(ctx, parts.dims() == 3 && parts.dim_size(0) == k && parts.dim_size(2) == 3 &&
                             parts.dim_size(1) <= da::kMaxBoxes,
                    errors::InvalidArgument("outline_parts must be [", k, ", P, 3], got ", parts.shape().DebugString()));
        da::Group g;
        g.outline_xy = xy.flat<float>().data();
        g.outline_parts = parts.flat<int32_t>().data();
        g.v = static_cast<int>(xy.dim_size(1));
        g.p = static_cast<int>(parts.dim_size(1));
        g.images = images.flat<uint8_t>().data();
        g.boxes = boxes.flat<float>().data();
        g.counts = counts.flat<int32_t>().data();
        g.k = static_cast<int>(k);
        g.n = static_cast<int>(boxes.dim_size(1));
        std::string err = da::check(config_, g);
        OP_REQUIRES(ctx, err.empty(), errors::InvalidArgument("detection augmentation: ", err));
        da::Plan plan;
        err = da::draw(config_, da::call_key(seed, static_cast<uint64_t>(pass), index), g.k, static_cast<int>(main),
                       pass, &plan);
        OP_REQUIRES(ctx, err.empty(), errors::InvalidArgument("detection augmentation: ", err));
        // The pixels go straight into the output tensor.
        Tensor *out_image = nullptr;
        OP_REQUIRES_OK(ctx, ctx->allocate_output(0, TensorShape({config_.height, config_.width, 3}), &out_image));
        std::vector<float> rows;
        err = da::render(config_, plan, g, out_image->flat<uint8_t>().data(), &rows);
        OP_REQUIRES(ctx, err.empty(), errors::InvalidArgument("detection augmentation: ", err));
        Tensor *out_boxes = nullptr;
        OP_REQUIRES_OK(ctx, ctx->allocate_output(1, TensorShape({static_cast<int64_t>(rows.size() / 5), 5}), &out_boxes));
        std::copy(rows.begin(), rows.end(), out_boxes->flat<float>().data());
    }

  private:
    da::Config config_;
};

REGISTER_KERNEL_BUILDER(Name("TrelliskDetectionAugment").Device(DEVICE_CPU), DetectionAugmentOp);

}  // namespace trellisk_ops
