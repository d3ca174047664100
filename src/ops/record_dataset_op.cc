// A tf.data source of the serialized records in TFRecord files that checks
// each frame as it streams: the declared length against the bytes left in the
// file and both checksums, before the data is trusted. A damaged frame is an
// error naming the file and byte offset when the stream reaches it (never a
// crash, never an allocation larger than the file), so nothing has to scan the
// files before the first record. Files are read through TensorFlow's file
// systems, so every path TensorFlow reads works here.
#include "framing.h"

#include "op_common.h"
#include "tensorflow/core/framework/dataset.h"
#include "tensorflow/core/framework/model.h"
#include "tensorflow/core/framework/partial_tensor_shape.h"
#include "tensorflow/core/platform/env.h"
#include "tensorflow/core/platform/mutex.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace trellisk_ops {

namespace {

namespace data = ::tensorflow::data;
using ::tensorflow::DataTypeVector;
using ::tensorflow::Env;
using ::tensorflow::PartialTensorShape;
using ::tensorflow::RandomAccessFile;

constexpr char kDatasetType[] = "TrelliskCheckedRecord";
// At least a header, so small buffers still parse frame by frame.
constexpr int64_t kMinBuffer = 4096;

// One open record file: a buffered cursor that hands out checked frames.
class RecordCursor {
  public:
    RecordCursor(std::string path, std::unique_ptr<RandomAccessFile> file, uint64_t size, uint64_t offset,
                 size_t capacity)
        : path_(std::move(path)), file_(std::move(file)), size_(size), pos_(offset), read_at_(offset),
          capacity_(capacity), buf_(new char[capacity]) {}

    static Status Open(Env *env, const std::string &path, uint64_t offset, size_t capacity,
                       std::unique_ptr<RecordCursor> *out) {
        uint64_t size = 0;
        TF_RETURN_IF_ERROR(env->GetFileSize(path, &size));
        std::unique_ptr<RandomAccessFile> file;
        TF_RETURN_IF_ERROR(env->NewRandomAccessFile(path, &file));
        if (offset > size)
            return errors::DataLoss("Damaged TFRecord file ", path, " at byte ", size,
                                    ": the file is shorter than the saved position ", offset);
        out->reset(new RecordCursor(path, std::move(file), size, offset, capacity));
        return Status();
    }

    // The next record into `record`; `*got` false at the end of the file.
    Status Next(tstring *record, bool *got) {
        *got = false;
        if (pos_ >= size_) return Status();
        const uint64_t remaining = size_ - pos_;
        const size_t head_n = static_cast<size_t>(std::min<uint64_t>(remaining, recordio::kHeaderBytes));
        TF_RETURN_IF_ERROR(Fill(head_n));
        uint64_t length = 0;
        std::string problem;
        if (!recordio::check_header(cursor(), remaining, &length, &problem)) return Damaged(problem);
        begin_ += recordio::kHeaderBytes;
        // check_header bounded `length` by the file: the allocations below are too.
        uint32_t crc = 0;
        // A frame already buffered, or small, is read from the buffer; a large
        // one goes straight from the file into the record, which saves moving
        // the buffer's tail to its front and copying the frame out again.
        const uint64_t frame = length + recordio::kFooterBytes;
        if (frame <= end_ - begin_ || frame <= capacity_ / 4) {
            TF_RETURN_IF_ERROR(Fill(static_cast<size_t>(length) + recordio::kFooterBytes));
            const unsigned char *data = cursor();
            crc = recordio::crc32c(0, data, static_cast<size_t>(length));
            if (!recordio::check_footer(crc, data + length, &problem)) return Damaged(problem);
            record->assign(reinterpret_cast<const char *>(data), static_cast<size_t>(length));
            begin_ += static_cast<size_t>(length) + recordio::kFooterBytes;
        } else {
            // What is buffered, then straight from the file.
            record->resize_uninitialized(static_cast<size_t>(length));
            char *dst = record->mdata();
            const size_t have = std::min<size_t>(end_ - begin_, static_cast<size_t>(length));
            std::memcpy(dst, buf_.get() + begin_, have);
            begin_ += have;
            TF_RETURN_IF_ERROR(ReadExactly(read_at_, static_cast<size_t>(length) - have, dst + have));
            read_at_ += length - have;
            crc = recordio::crc32c(0, reinterpret_cast<const unsigned char *>(dst), static_cast<size_t>(length));
            TF_RETURN_IF_ERROR(Fill(recordio::kFooterBytes));
            if (!recordio::check_footer(crc, cursor(), &problem)) {
                record->clear();
                return Damaged(problem);
            }
            begin_ += recordio::kFooterBytes;
        }
        pos_ += recordio::kHeaderBytes + length + recordio::kFooterBytes;
        *got = true;
        return Status();
    }

    // Byte offset of the next frame.
    uint64_t position() const { return pos_; }

  private:
    const unsigned char *cursor() const { return reinterpret_cast<const unsigned char *>(buf_.get() + begin_); }

    Status Damaged(const std::string &problem) const {
        return errors::DataLoss("Damaged TFRecord file ", path_, " at byte ", pos_, ": ", problem);
    }

    // `n` (at most the capacity) bytes buffered from the cursor on.
    Status Fill(size_t n) {
        if (end_ - begin_ >= n) return Status();
        std::memmove(buf_.get(), buf_.get() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(capacity_ - end_, size_ - read_at_));
        TF_RETURN_IF_ERROR(ReadExactly(read_at_, want, buf_.get() + end_));
        end_ += want;
        read_at_ += want;
        return end_ >= n ? Status() : Damaged("the file ends early");
    }

    // Exactly `n` bytes at `offset` into `dst`; the file's size was known
    // when it was opened, so a short read means it shrank since.
    Status ReadExactly(uint64_t offset, size_t n, char *dst) {
        while (n > 0) {
            ::tensorflow::StringPiece got;
            Status s = file_->Read(offset, n, &got, dst);
            if (!s.ok() && !::tensorflow::errors::IsOutOfRange(s)) return s;
            if (got.empty()) return Damaged("the file ends early (it shrank while it was read)");
            if (got.data() != dst) std::memmove(dst, got.data(), got.size());
            offset += got.size();
            dst += got.size();
            n -= got.size();
        }
        return Status();
    }

    const std::string path_;
    std::unique_ptr<RandomAccessFile> file_;
    const uint64_t size_;
    uint64_t pos_;      // file offset of the next frame
    uint64_t read_at_;  // file offset of buf_[end_]
    const size_t capacity_;
    std::unique_ptr<char[]> buf_;
    size_t begin_ = 0, end_ = 0;
};

class Dataset : public data::DatasetBase {
  public:
    Dataset(OpKernelContext *ctx, std::vector<std::string> files, int64_t buffer_size)
        : DatasetBase(data::DatasetContext(ctx)), files_(std::move(files)), buffer_size_(buffer_size) {}

    std::unique_ptr<data::IteratorBase> MakeIteratorInternal(const std::string &prefix) const override {
        return std::make_unique<Iterator>(Iterator::Params{this, prefix + "::" + kDatasetType});
    }

    const DataTypeVector &output_dtypes() const override {
        static const DataTypeVector *dtypes = new DataTypeVector({::tensorflow::DT_STRING});
        return *dtypes;
    }

    const std::vector<PartialTensorShape> &output_shapes() const override {
        static const std::vector<PartialTensorShape> *shapes = new std::vector<PartialTensorShape>({{}});
        return *shapes;
    }

    std::string DebugString() const override { return std::string(kDatasetType) + "DatasetOp::Dataset"; }

    Status InputDatasets(std::vector<const DatasetBase *> *inputs) const override {
        inputs->clear();
        return Status();
    }

    Status CheckExternalState() const override { return Status(); }

  protected:
    Status AsGraphDefInternal(data::SerializationContext *ctx, DatasetGraphDefBuilder *b,
                              ::tensorflow::Node **output) const override {
        ::tensorflow::Node *filenames = nullptr;
        ::tensorflow::Node *buffer_size = nullptr;
        TF_RETURN_IF_ERROR(b->AddVector(files_, &filenames));
        TF_RETURN_IF_ERROR(b->AddScalar(buffer_size_, &buffer_size));
        return b->AddDataset(this, {filenames, buffer_size}, output);
    }

  private:
    class Iterator : public data::DatasetIterator<Dataset> {
      public:
        explicit Iterator(const Params &params) : DatasetIterator<Dataset>(params) {}

        Status GetNextInternal(data::IteratorContext *ctx, std::vector<Tensor> *out_tensors,
                               bool *end_of_sequence) override {
            ::tensorflow::mutex_lock lock(mu_);
            for (;;) {
                if (cursor_) {
                    Tensor record(::tensorflow::DT_STRING, TensorShape({}));
                    bool got = false;
                    Status s = cursor_->Next(&record.scalar<tstring>()(), &got);
                    if (got) {
                        out_tensors->push_back(std::move(record));
                        *end_of_sequence = false;
                        return Status();
                    }
                    // A damaged frame ends its file: the error is reported
                    // once and the next call goes on with the next file, so
                    // ignore_errors() skips the damaged rest.
                    cursor_.reset();
                    ++index_;
                    if (!s.ok()) return s;
                }
                if (index_ >= dataset()->files_.size()) {
                    *end_of_sequence = true;
                    return Status();
                }
                Status s = Open(ctx->env(), 0);
                if (!s.ok()) {
                    ++index_;  // the next call tries the next file
                    return s;
                }
            }
        }

      protected:
        std::shared_ptr<data::model::Node> CreateNode(data::IteratorContext *ctx,
                                                      data::model::Node::Args args) const override {
            return data::model::MakeSourceNode(std::move(args));
        }

        Status SaveInternal(data::SerializationContext *ctx, data::IteratorStateWriter *writer) override {
            ::tensorflow::mutex_lock lock(mu_);
            TF_RETURN_IF_ERROR(writer->WriteScalar(prefix(), "file_index", static_cast<int64_t>(index_)));
            TF_RETURN_IF_ERROR(writer->WriteScalar(prefix(), "offset",
                                                   cursor_ ? static_cast<int64_t>(cursor_->position()) : -1));
            return Status();
        }

        Status RestoreInternal(data::IteratorContext *ctx, data::IteratorStateReader *reader) override {
            ::tensorflow::mutex_lock lock(mu_);
            int64_t index = 0, offset = -1;
            TF_RETURN_IF_ERROR(reader->ReadScalar(prefix(), "file_index", &index));
            TF_RETURN_IF_ERROR(reader->ReadScalar(prefix(), "offset", &offset));
            if (index < 0 || static_cast<uint64_t>(index) > dataset()->files_.size())
                return errors::InvalidArgument("checked record reader: saved file index ", index,
                                               " is out of range");
            cursor_.reset();
            index_ = static_cast<size_t>(index);
            if (offset >= 0 && index_ < dataset()->files_.size())
                TF_RETURN_IF_ERROR(Open(ctx->env(), static_cast<uint64_t>(offset)));
            return Status();
        }

      private:
        Status Open(Env *env, uint64_t offset) TF_EXCLUSIVE_LOCKS_REQUIRED(mu_) {
            const size_t capacity = static_cast<size_t>(std::max(dataset()->buffer_size_, kMinBuffer));
            return RecordCursor::Open(env, dataset()->files_[index_], offset, capacity, &cursor_);
        }

        ::tensorflow::mutex mu_;
        size_t index_ TF_GUARDED_BY(mu_) = 0;
        std::unique_ptr<RecordCursor> cursor_ TF_GUARDED_BY(mu_);
    };

    const std::vector<std::string> files_;
    const int64_t buffer_size_;
};

class CheckedRecordDatasetOp : public data::DatasetOpKernel {
  public:
    explicit CheckedRecordDatasetOp(OpKernelConstruction *ctx) : DatasetOpKernel(ctx) {}

    void MakeDataset(OpKernelContext *ctx, data::DatasetBase **output) override {
        const Tensor &names = ctx->input(0);
        OP_REQUIRES(ctx, names.dims() <= 1,
                    errors::InvalidArgument("filenames must be a scalar or a vector, got shape ",
                                            names.shape().DebugString()));
        const Tensor &buffer = ctx->input(1);
        OP_REQUIRES(ctx, buffer.dims() == 0, errors::InvalidArgument("buffer_size must be a scalar"));
        const int64_t buffer_size = buffer.scalar<int64_t>()();
        OP_REQUIRES(ctx, buffer_size >= 0,
                    errors::InvalidArgument("buffer_size must not be negative, got ", buffer_size));
        std::vector<std::string> files;
        files.reserve(names.NumElements());
        for (int64_t i = 0; i < names.NumElements(); ++i) files.emplace_back(names.flat<tstring>()(i));
        *output = new Dataset(ctx, std::move(files), buffer_size);
    }
};

}  // namespace

REGISTER_OP("TrelliskCheckedRecordDataset")
    .Input("filenames: string")
    .Input("buffer_size: int64")
    .Output("handle: variant")
    .SetIsStateful()  // a dataset source must not be constant-folded
    .SetShapeFn([](InferenceContext *c) {
        ShapeHandle unused;
        TF_RETURN_IF_ERROR(c->WithRankAtMost(c->input(0), 1, &unused));
        TF_RETURN_IF_ERROR(c->WithRank(c->input(1), 0, &unused));
        c->set_output(0, c->Scalar());
        return Status();
    })
    .Doc(R"doc(
The serialized records of the TFRecord files `filenames`, read in order through
a buffer of `buffer_size` bytes. Each frame's length is checked against the
bytes left in its file and both checksums are verified before the record is
produced; a damaged frame fails with DataLoss naming the file and byte offset
when it is reached (the rest of that file is then skipped), a missing file
with NotFound.
)doc");

REGISTER_KERNEL_BUILDER(Name("TrelliskCheckedRecordDataset").Device(DEVICE_CPU), CheckedRecordDatasetOp);

}  // namespace trellisk_ops
