// quorvane.trellisk.datasets._recordio: writes TFRecord files with the
// framing kernel that the readers check frames with. No TensorFlow, so the
// processes that pack a dataset start at once.
#include <pybind11/pybind11.h>

#include <cerrno>
#include <memory>
#include <string>

#include "framing.h"

namespace py = pybind11;

namespace {

// OSError with errno, its text and the file name, as open() would raise it.
[[noreturn]] void raise_os_error(int err, const std::string &path) {
    errno = err;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
}

class RecordWriter {
  public:
    explicit RecordWriter(std::string path) : path_(std::move(path)) {
        int err;
        {
            py::gil_scoped_release nogil;
            err = writer_.open(path_);
        }
        if (err) raise_os_error(err, path_);
    }

    void write(py::bytes data) {
        if (!writer_.is_open()) throw py::value_error("write to a closed RecordWriter: " + path_);
        char *buffer = nullptr;
        Py_ssize_t length = 0;
        if (PyBytes_AsStringAndSize(data.ptr(), &buffer, &length) != 0) throw py::error_already_set();
        int err;
        {
            // `data` stays referenced by the caller's frame, so its buffer lives on.
            py::gil_scoped_release nogil;
            err = writer_.write(reinterpret_cast<const unsigned char *>(buffer), static_cast<uint64_t>(length));
        }
        if (err) fail(err);
    }

    void close(bool sync) {
        int err;
        {
            py::gil_scoped_release nogil;
            err = writer_.close(sync);
        }
        if (err) raise_os_error(err, path_);
    }

    uint64_t frames() const { return writer_.frames(); }
    uint64_t bytes() const { return writer_.bytes(); }
    const std::string &path() const { return path_; }

  private:
    [[noreturn]] void fail(int err) {
        {
            py::gil_scoped_release nogil;
            writer_.close(false);
        }
        raise_os_error(err, path_);
    }

    std::string path_;
    recordio::FrameWriter writer_;
};

}  // namespace

PYBIND11_MODULE(_recordio, m) {
    m.doc() = "TFRecord file writing: length, masked CRC32C of the length, data, masked\n"
              "CRC32C of the data, per record.";
    py::class_<RecordWriter>(m, "RecordWriter",
                             "RecordWriter(path): creates (or truncates) the file at `path` and\n"
                             "appends one frame per write(). A failing system call raises OSError\n"
                             "with its errno (ENOSPC for a full disk) and closes the file.")
        .def(py::init<std::string>(), py::arg("path"))
        .def("write", &RecordWriter::write, py::arg("data"), "Append one record (bytes).")
        .def("close", &RecordWriter::close, py::arg("sync") = true,
             "Flush and close; with sync, force the data to the disk first (fsync).")
        .def_property_readonly("records", &RecordWriter::frames, "Records written so far.")
        .def_property_readonly("bytes", &RecordWriter::bytes, "Bytes written so far, framing included.")
        .def_property_readonly("path", &RecordWriter::path)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](RecordWriter &w, py::handle, py::handle, py::handle) { w.close(true); });
}
