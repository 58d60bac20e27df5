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
    if (matrix.width < 0 || matrix.height < 0 || options.png_size < 0 ||
        find_format(options.format) == nullptr ||
        (options.valid.min && options.valid.max && *options.valid.min > *options.valid.max)) {
        return ERR_INVALID_PARAM;
    }
    // Every sample the dimensions announce must lie in the buffer.
    const std::uint64_t count = std::uint64_t{static_cast<std::uint16_t>(matrix.width)} *
                                static_cast<std::uint16_t>(matrix.height);
    const std::uint64_t held = matrix.matrix != nullptr ? matrix.size : 0;
    if (count > held) {
        return ERR_INVALID_PARAM;
    }
    if (options.format == ExportFormat::npy) {
        return export_detail::write_npy(path, matrix, options);
    }
    if (count == 0) {
        return ERR_NO_DATA;
    }
    switch (options.format) {
    case ExportFormat::gsf:
        return export_detail::write_gsf(path, matrix, options);
    case ExportFormat::tiff:
        return export_detail::write_tiff(path, matrix, options);
    default:
        return export_detail::write_png(path, matrix, options);
    }
}

} // namespace pdx
