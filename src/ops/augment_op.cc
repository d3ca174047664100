// TrelliskAugment: the native augmentation engine as a TensorFlow op, keyed
// per element so that the result depends only on (seed, epoch, element).
#include "augment/engine.h"

#include "op_common.h"

#include <string>

namespace trellisk_ops {

namespace aug = ::trellisk::augment;

REGISTER_OP("TrelliskAugment")
    .Input("image: uint8")
    .Input("mask: int32")
    .Input("epoch: int64")
    .Input("index: int64")
    .Output("out_image: uint8")
    .Output("out_mask: int32")
    .Attr("seed: int")
    .Attr("height: int >= 1")
    .Attr("width: int >= 1")
    .Attr("channel_ops: bool = true")
    .Attr("diagonals: int = -1")
    .SetShapeFn([](InferenceContext *c) {
        c->set_output(0, c->MakeShape({c->UnknownDim(), c->UnknownDim(), c->MakeDim(3)}));
        c->set_output(1, c->Matrix(c->UnknownDim(), c->UnknownDim()));
        return Status();
    })
    .Doc(R"doc(
Augments one image (h x w x 3) and its class mask (h x w) together with the
native engine for a dataset of height x width. The random draws come from a
key derived from seed, epoch and index alone: the same three give the same
result on any thread. diagonals: the piecewise-affine triangulation for
height x width inputs (-1: the engine's default).
)doc");

class AugmentOp : public OpKernel {
  public:
    explicit AugmentOp(OpKernelConstruction *ctx) : OpKernel(ctx) {
        int64_t seed, h, w, diagonals;
        bool channel_ops;
        OP_REQUIRES_OK(ctx, ctx->GetAttr("seed", &seed));
        OP_REQUIRES_OK(ctx, ctx->GetAttr("height", &h));
        OP_REQUIRES_OK(ctx, ctx->GetAttr("width", &w));
        OP_REQUIRES_OK(ctx, ctx->GetAttr("channel_ops", &channel_ops));
        OP_REQUIRES_OK(ctx, ctx->GetAttr("diagonals", &diagonals));
        OP_REQUIRES(ctx, h <= aug::kMaxSide && w <= aug::kMaxSide,
                    errors::InvalidArgument("augmentation size ", h, " x ", w, " is too large"));
        seed_ = static_cast<uint64_t>(seed);
        const aug::Diagonals d = diagonals < 0 ? aug::kDefaultDiagonals : static_cast<aug::Diagonals>(diagonals);
        const std::string err = aug::make_config(static_cast<int>(h), static_cast<int>(w), channel_ops, d, &config_);
        OP_REQUIRES(ctx, err.empty(), errors::InvalidArgument(err));
    }

    void Compute(OpKernelContext *ctx) override {
        const Tensor &image = ctx->input(0);
        const Tensor &mask = ctx->input(1);
        OP_REQUIRES(ctx, image.dims() == 3 && image.dim_size(2) == 3,
                    errors::InvalidArgument("image must be height x width x 3, got ", image.shape().DebugString()));
        OP_REQUIRES(ctx, mask.dims() == 2 && mask.dim_size(0) == image.dim_size(0) &&
                             mask.dim_size(1) == image.dim_size(1),
                    errors::InvalidArgument("mask ", mask.shape().DebugString(), " does not match image ",
                                            image.shape().DebugString()));
        OP_REQUIRES(ctx, ctx->input(2).NumElements() == 1 && ctx->input(3).NumElements() == 1,
                    errors::InvalidArgument("epoch and index must be scalars"));
        const int64_t h = image.dim_size(0), w = image.dim_size(1);
        OP_REQUIRES(ctx, h >= 1 && w >= 1 && h <= aug::kMaxSide && w <= aug::kMaxSide && h * w <= aug::kMaxPixels,
                    errors::InvalidArgument("cannot augment an image of shape ", image.shape().DebugString()));
        const uint64_t epoch = static_cast<uint64_t>(ctx->input(2).flat<int64_t>()(0));
        const uint64_t index = static_cast<uint64_t>(ctx->input(3).flat<int64_t>()(0));
        const uint64_t key = aug::derive_key(aug::derive_key(seed_, epoch), index);
        aug::Plan plan;
        std::string err = aug::draw(config_, key, static_cast<int>(h), static_cast<int>(w), &plan);
        OP_REQUIRES(ctx, err.empty(), errors::InvalidArgument("augmentation: ", err));
        // The engine writes straight into the output tensors.
        Tensor *out_image = nullptr, *out_mask = nullptr;
        OP_REQUIRES_OK(ctx, ctx->allocate_output(0, TensorShape({plan.out_h, plan.out_w, 3}), &out_image));
        OP_REQUIRES_OK(ctx, ctx->allocate_output(1, TensorShape({plan.out_h, plan.out_w}), &out_mask));
        err = aug::render(plan, image.flat<uint8_t>().data(), mask.flat<int32_t>().data(),
                          out_image->flat<uint8_t>().data(), out_mask->flat<int32_t>().data());
        OP_REQUIRES(ctx, err.empty(), errors::InvalidArgument("augmentation: ", err));
    }

  private:
    uint64_t seed_ = 0;
    aug::Config config_;
};

REGISTER_KERNEL_BUILDER(Name("TrelliskAugment").Device(DEVICE_CPU), AugmentOp);

}  // namespace trellisk_ops
