#include "pdx/export/export.h"

#include <cstdint>

#include "pdx/export/export_detail.h"
#include "pdx/util/errors.h"

namespace pdx {

namespace {

struct FormatName {
    ExportFormat format;
    const char *name;
    const char *extension;
};
constexpr FormatName kFormats[] = {
    {ExportFormat::gsf, "gsf", ".gsf"},
    {ExportFormat::tiff, "tiff", ".tif"},
    {ExportFormat::npy, "npy", ".npy"},
    {ExportFormat::png, "png", ".png"},
};

const FormatName *find_format(ExportFormat format) {
    for (const FormatName &f : kFormats) {
        if (f.format == format) {
            return &f;
        }
    }
    return nullptr;
}

// A length a caller may have set by hand: positive, finite, not too large.
bool sound(double v) {
    return v > 0 && v <= kLargestLength;
}

bool sound_scale(const Scale &scale) {
    return (!scale.pixel || (sound(scale.pixel->x) && sound(scale.pixel->y))) &&
           (!scale.z || sound(scale.z->value));
}

} // namespace

int export_format_from_name(std::string_view name, ExportFormat *format) {
    for (const FormatName &f : kFormats) {
        if (name == f.name) {
            *format = f.format;
            return 0;
        }
    }
    return ERR_INVALID_PARAM;
}

const char *export_format_name(ExportFormat format) {
    const FormatName *f = find_format(format);
    return f != nullptr ? f->name : "";
}

const char *export_extension(ExportFormat format) {
    const FormatName *f = find_format(format);
    return f != nullptr ? f->extension : "";
}

int export_matrix(const char *path, const PhaseMatrix &matrix, const ExportOptions &options) {
    if (options.left_behind != nullptr) {
        options.left_behind->clear();
    }
    // The settled options: the validity rule (a bound of the old range
    // field replaces it) and the origin.
    ExportOptions o = options;
    o.valid = {};
    if ((options.valid.min || options.valid.max) &&
        Validity::chosen(options.valid, {}, &o.validity) != 0) {
        return ERR_INVALID_PARAM;
    }
    if (!o.origin) {
        o.origin = Origin{matrix.x, matrix.y};
    }
    if (matrix.width < 0 || matrix.height < 0 || options.png_size < 0 ||
        find_format(options.format) == nullptr || !sound_scale(options.scale)) {
        return ERR_INVALID_PARAM;
    }
    // Every sample the dimensions announce must lie in the buffer.
    const std::uint64_t count = std::uint64_t{static_cast<std::uint16_t>(matrix.width)} *
                                static_cast<std::uint16_t>(matrix.height);
    const std::uint64_t held = matrix.matrix != nullptr ? matrix.size : 0;
    if (count > held) {
        return ERR_INVALID_PARAM;
    }
    ExportNotes notes;
    int rc = 0;
    if (options.format == ExportFormat::npy) {
        rc = export_detail::write_npy(path, matrix, o, &notes);
    } else if (count == 0) {
        return ERR_NO_DATA;
    } else if (options.format == ExportFormat::gsf) {
        rc = export_detail::write_gsf(path, matrix, o, &notes);
    } else if (options.format == ExportFormat::tiff) {
        rc = export_detail::write_tiff(path, matrix, o, &notes);
    } else {
        rc = export_detail::write_png(path, matrix, o, &notes);
    }
    if (rc == 0 && options.notes != nullptr) {
        *options.notes = notes;
    }
    return rc;
}

} // namespace pdx
