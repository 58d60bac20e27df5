// Data files: one file's blocks as numpy arrays, or what its header alone
// tells, and whether a file is a data file at all.

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "core.h"
#include "pdx/datafile/data_file.h"
#include "pdx/util/errors.h"

namespace pdx_core {

using namespace pdx;

namespace {

struct DataFile {
    py::object phase, phase_origin, intensity, intensity_origin, intensity_tag;
    py::object header_length, header;
};

py::dict header_mapping(const HeaderPreamble &preamble, const HeaderBody &body) {
    py::dict fields;
    for (const HeaderField &f : header_fields()) {
        const auto *base = f.in_body ? reinterpret_cast<const unsigned char *>(&body)
                                     : reinterpret_cast<const unsigned char *>(&preamble);
        const unsigned char *at = base + f.record_offset;
        py::object value;
        if (f.kind == HeaderFieldKind::bytes) {
            value = py::bytes(reinterpret_cast<const char *>(at), f.length);
        } else if (f.length == 2) {
            std::uint16_t v;
            std::memcpy(&v, at, 2);
            value = py::int_(v);
        } else {
            std::uint32_t v;
            std::memcpy(&v, at, 4);
            value = py::int_(v);
        }
        fields[py::int_(f.offset)] = value;
    }
    return fields;
}

DataFile read_data_file(const py::object &path, bool want_intensity, bool want_phase) {
    const std::string argument = path_argument(path);
    auto preamble = std::make_unique<HeaderPreamble>();
    auto body = std::make_unique<HeaderBody>();
    IntensityMatrix intensity;
    PhaseMatrix phase;
    int rc;
    {
        py::gil_scoped_release unlocked;
        rc = data_file_read(argument.c_str(), preamble.get(), body.get(),
                            want_intensity ? &intensity : nullptr, want_phase ? &phase : nullptr);
    }
    if (rc != 0) {
        raise_error(rc, "reading", path);
    }
    DataFile file;
    file.phase_origin = py::make_tuple(phase.x, phase.y);
    file.intensity_origin = py::make_tuple(intensity.x, intensity.y);
    file.intensity_tag = py::int_(intensity.tag);
    file.phase = adopt<std::int32_t>(phase, {phase.height, phase.width});
    file.intensity =
        adopt<std::uint16_t>(intensity, {intensity.n_buckets, intensity.height, intensity.width});
    file.header_length = py::int_(data_file_header_length(*body));
    file.header = header_mapping(*preamble, *body);
    return file;
}

// What a data file holds, from its header: enough to lay out its arrays
// without reading them (the xarray backend opens files this way).
struct DataFileInfo {
    py::object phase_shape, phase_origin, intensity_shape, intensity_origin, intensity_tag;
    py::object header_length, header;
};

DataFileInfo read_data_file_info(const py::object &path) {
    const std::string argument = path_argument(path);
    auto record = std::make_unique<DataFileHeader>();
    DataFileSummary layout;
    int rc;
    {
        py::gil_scoped_release unlocked;
        rc = data_file_read_summary(argument.c_str(), &layout, true, true, record.get());
    }
    if (rc != 0) {
        raise_error(rc, "reading", path);
    }
    const Region &p = layout.phase;
    const Region &i = layout.intensity;
    DataFileInfo info;
    info.phase_shape = py::make_tuple(p.height, p.width);
    info.phase_origin = py::make_tuple(p.x, p.y);
    info.intensity_shape = py::make_tuple(layout.frames, i.height, i.width);
    info.intensity_origin = py::make_tuple(i.x, i.y);
    info.intensity_tag = py::int_(layout.tag);
    info.header_length = py::int_(layout.header_length);
    info.header = header_mapping(record->preamble, record->body);
    return info;
}

// Whether the file at `path` begins with a data file's magic number.
bool is_data_file(const py::object &path) {
    const std::string argument = path_argument(path);
    py::gil_scoped_release unlocked;
    return data_file_has_magic(argument.c_str());
}

} // namespace

void define_data_files(py::module_ &m) {
    py::class_<DataFile>(m, "DataFile", R"doc(The contents of a binary data file.

phase             int32 array (height, width), C order; (0, 0) when the file
                  has no phase block or it was not requested
phase_origin      (x, y) of the phase region in the camera frame: x the
                  camera column and y the camera row of phase[0, 0] (the
                  reverse of the array's (row, column) order)
intensity         uint16 array (n_buckets, height, width), frames in file
                  order; (0, 0, 0) when absent or not requested
intensity_origin  (x, y) of the intensity region
intensity_tag     the intensity block's tag, as stored
header_length     834 or 4096
header            dict: on-disk offset -> host-order value of every header
                  field handed to callers (offsets 10 to 47 and 76 on);
                  byte runs as bytes, layout_code (898) as the reader sets it)doc")
        .def_readonly("phase", &DataFile::phase)
        .def_readonly("phase_origin", &DataFile::phase_origin)
        .def_readonly("intensity", &DataFile::intensity)
        .def_readonly("intensity_origin", &DataFile::intensity_origin)
        .def_readonly("intensity_tag", &DataFile::intensity_tag)
        .def_readonly("header_length", &DataFile::header_length)
        .def_readonly("header", &DataFile::header)
        .def("__repr__", [](const DataFile &f) {
            return "<pdx.DataFile header_length=" + py::str(f.header_length).cast<std::string>() +
                   " phase=" + py::str(f.phase.attr("shape")).cast<std::string>() +
                   " intensity=" + py::str(f.intensity.attr("shape")).cast<std::string>() + ">";
        });

    m.def("read_data_file", &read_data_file, py::arg("path"), py::kw_only(),
          py::arg("intensity") = true, py::arg("phase") = true,
          R"doc(read_data_file(path, *, intensity=True, phase=True) -> DataFile

Reads a binary data file. path is a str, bytes or os.PathLike. A block that
is not requested is skipped, not read, and comes back empty.

Raises pdx.Error (e.g. ERR_CANT_OPEN_FILE, ERR_NOT_A_DATA_FILE,
ERR_PREMATURE_EOF, ERR_CORRUPT_DATA_FILE, ERR_DATASET_DIM_TOO_LARGE).)doc");

    py::class_<DataFileInfo>(m, "DataFileInfo", R"doc(What a data file holds, from its header alone.

phase_shape       (height, width) of the phase map; (0, 0) without one
phase_origin      (x, y): camera column, then row, of the map's first sample
intensity_shape   (n_buckets, height, width); (0, 0, 0) without frames
intensity_origin  (x, y) of the intensity region
intensity_tag, header_length, header: as in DataFile)doc")
        .def_readonly("phase_shape", &DataFileInfo::phase_shape)
        .def_readonly("phase_origin", &DataFileInfo::phase_origin)
        .def_readonly("intensity_shape", &DataFileInfo::intensity_shape)
        .def_readonly("intensity_origin", &DataFileInfo::intensity_origin)
        .def_readonly("intensity_tag", &DataFileInfo::intensity_tag)
        .def_readonly("header_length", &DataFileInfo::header_length)
        .def_readonly("header", &DataFileInfo::header)
        .def("__repr__", [](const DataFileInfo &f) {
            return "<pdx.DataFileInfo header_length=" +
                   py::str(f.header_length).cast<std::string>() +
                   " phase=" + py::str(f.phase_shape).cast<std::string>() +
                   " intensity=" + py::str(f.intensity_shape).cast<std::string>() + ">";
        });

    m.def("read_data_file_info", &read_data_file_info, py::arg("path"),
          R"doc(read_data_file_info(path) -> DataFileInfo

Reads only the header of a binary data file: the shapes, origins and header
fields that read_data_file would give, without a sample. A header that
read_data_file would refuse before its first sample raises the same error.

Raises pdx.Error (e.g. ERR_CANT_OPEN_FILE, ERR_NOT_A_DATA_FILE,
ERR_PREMATURE_EOF, ERR_DATASET_DIM_TOO_LARGE, ERR_PARAM_OUT_OF_RANGE).)doc");

    m.def("is_data_file", &is_data_file, py::arg("path"),
          R"doc(is_data_file(path) -> bool

Whether the file begins with a binary data file's magic number. False, not
an error, for a file that cannot be opened or is shorter than four bytes.)doc");
}

} // namespace pdx_core
