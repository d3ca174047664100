// A tf.data dataset that passes its input through unchanged but turns any
// error from it into InvalidArgument prefixed with `source`. A record's
// decoding runs ops (the example parser, the JPEG decoder) whose messages
// name nothing; wrapped around the decoding of that one record, this names
// the file and the record in every error, and gives every failure one error
// class whatever op raised it.
#include "op_common.h"
#include "tensorflow/core/framework/dataset.h"
#include "tensorflow/core/framework/model.h"
#include "tensorflow/core/framework/partial_tensor_shape.h"

#include <memory>
#include <string>
#include <vector>

namespace trellisk_ops {

namespace {

namespace data = ::tensorflow::data;
using ::tensorflow::DataTypeVector;
using ::tensorflow::PartialTensorShape;

constexpr char kDatasetType[] = "TrelliskNamedErrors";

class Dataset : public data::DatasetBase {
  public:
    Dataset(OpKernelContext *ctx, const data::DatasetBase *input, std::string source)
        : DatasetBase(data::DatasetContext(ctx)), input_(input), source_(std::move(source)) {
        input_->Ref();
    }
    ~Dataset() override { input_->Unref(); }

    std::unique_ptr<data::IteratorBase> MakeIteratorInternal(const std::string &prefix) const override {
        return std::make_unique<Iterator>(Iterator::Params{this, prefix + "::" + kDatasetType});
    }
    const DataTypeVector &output_dtypes() const override { return input_->output_dtypes(); }
    const std::vector<PartialTensorShape> &output_shapes() const override { return input_->output_shapes(); }
    std::string DebugString() const override { return std::string(kDatasetType) + "DatasetOp::Dataset"; }

    Status InputDatasets(std::vector<const data::DatasetBase *> *inputs) const override {
        inputs->push_back(input_);
        return Status();
    }
    Status CheckExternalState() const override { return input_->CheckExternalState(); }

  protected:
    Status AsGraphDefInternal(data::SerializationContext *ctx, DatasetGraphDefBuilder *b,
                              ::tensorflow::Node **output) const override {
        ::tensorflow::Node *input = nullptr, *source = nullptr;
        TF_RETURN_IF_ERROR(b->AddInputDataset(ctx, input_, &input));
        TF_RETURN_IF_ERROR(b->AddScalar(tstring(source_), &source));
        return b->AddDataset(this, {input, source}, output);
    }

  private:
    class Iterator : public data::DatasetIterator<Dataset> {
      public:
        explicit Iterator(const Params &params) : DatasetIterator<Dataset>(params) {}

        Status Initialize(data::IteratorContext *ctx) override {
            return dataset()->input_->MakeIterator(ctx, this, prefix(), &input_);
        }

        Status GetNextInternal(data::IteratorContext *ctx, std::vector<Tensor> *out_tensors,
                               bool *end_of_sequence) override {
            Status s = input_->GetNext(ctx, out_tensors, end_of_sequence);
            if (s.ok()) return s;
            out_tensors->clear();
            return errors::InvalidArgument(dataset()->source_, ": ", std::string(s.message()));
        }

      protected:
        std::shared_ptr<data::model::Node> CreateNode(data::IteratorContext *ctx,
                                                      data::model::Node::Args args) const override {
            return data::model::MakeKnownRatioNode(std::move(args), 1);
        }
        Status SaveInternal(data::SerializationContext *ctx, data::IteratorStateWriter *writer) override {
            return SaveInput(ctx, writer, input_);
        }
        Status RestoreInternal(data::IteratorContext *ctx, data::IteratorStateReader *reader) override {
            return RestoreInput(ctx, reader, input_);
        }

      private:
        std::unique_ptr<data::IteratorBase> input_;
    };

    const data::DatasetBase *const input_;
    const std::string source_;
};

class NamedErrorsDatasetOp : public data::UnaryDatasetOpKernel {
  public:
    explicit NamedErrorsDatasetOp(OpKernelConstruction *ctx) : UnaryDatasetOpKernel(ctx) {}

    void MakeDataset(OpKernelContext *ctx, data::DatasetBase *input, data::DatasetBase **output) override {
        const Tensor &source = ctx->input(1);
        OP_REQUIRES(ctx, source.NumElements() == 1,
                    errors::InvalidArgument("source must be a scalar string, got shape ",
                                            source.shape().DebugString()));
        *output = new Dataset(ctx, input, std::string(source.flat<tstring>()(0)));
    }
};

}  // namespace

REGISTER_OP("TrelliskNamedErrorsDataset")
    .Input("input_dataset: variant")
    .Input("source: string")
    .Output("handle: variant")
    .Attr("output_types: list(type) >= 1")
    .Attr("output_shapes: list(shape) >= 1")
    .SetShapeFn([](InferenceContext *c) {
        ShapeHandle unused;
        TF_RETURN_IF_ERROR(c->WithRank(c->input(1), 0, &unused));
        c->set_output(0, c->Scalar());
        return Status();
    })
    .Doc(R"doc(
The elements of `input_dataset` unchanged; an error of the input becomes
InvalidArgument whose message is `source`, ": " and the input's message.
)doc");

REGISTER_KERNEL_BUILDER(Name("TrelliskNamedErrorsDataset").Device(DEVICE_CPU), NamedErrorsDatasetOp);

}  // namespace trellisk_ops
