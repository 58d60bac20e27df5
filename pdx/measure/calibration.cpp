#include "pdx/measure/calibration.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "pdx/util/errors.h"
#include "pdx/util/platform.h"
#include "pdx/util/utf8.h"

namespace pdx {

namespace {

using Error = CalibrationError;

// The JSON values a member may hold, by their first character.
enum class Kind { object, array, string, number, null, boolean, none };

// A strict reader of the calibration file's one shape: every value is read
// where the shape expects it, so nothing unknown is ever skipped over.
class Reader {
  public:
    Reader(std::string_view text, CalibrationProblem *problem) : text_(text), problem_(problem) {
        // A UTF-8 byte order mark, as some editors write.
        if (text_.substr(0, 3) == "\xEF\xBB\xBF") {
            start_ = at_ = 3;
        }
    }

    bool file(Calibration *out);

  private:
    bool fail(Error error, std::string member, std::size_t where, const char *expected = nullptr) {
        problem_->error = error;
        problem_->member = std::move(member);
        problem_->expected = expected;
        // Lines and characters up to `where`: a character is a byte that
        // does not continue a UTF-8 sequence.
        problem_->line = 1;
        problem_->column = 1;
        for (std::size_t i = start_; i < where; ++i) {
            const auto c = static_cast<unsigned char>(text_[i]);
            if (c == '\n') {
                ++problem_->line;
                problem_->column = 1;
            } else if ((c & 0xC0) != 0x80) {
                ++problem_->column;
            }
        }
        return false;
    }
    bool syntax() { return fail(Error::not_json, "", at_); }

    void skip_space() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\n' || text_[at_] == '\r')) {
            ++at_;
        }
    }
    Kind peek() {
        skip_space();
        if (at_ >= text_.size()) {
            return Kind::none;
        }
        switch (text_[at_]) {
        case '{':
            return Kind::object;
        case '[':
            return Kind::array;
        case '"':
            return Kind::string;
        case 'n':
            return Kind::null;
        case 't':
        case 'f':
            return Kind::boolean;
        default:
            return text_[at_] == '-' || (text_[at_] >= '0' && text_[at_] <= '9') ? Kind::number
                                                                                 : Kind::none;
        }
    }
    bool take(char c) {
        skip_space();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool literal(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) {
            return syntax();
        }
        at_ += word.size();
        return true;
    }

    bool hex4(std::uint32_t *unit) {
        if (at_ + 4 > text_.size()) {
            return syntax();
        }
        *unit = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[at_];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) {
                return syntax();
            }
            *unit = *unit * 16 + static_cast<std::uint32_t>(digit);
            ++at_;
        }
        return true;
    }
    static void put_utf8(std::uint32_t cp, std::string *out) {
        if (cp < 0x80) {
            *out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            *out += static_cast<char>(0xC0 | cp >> 6);
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *out += static_cast<char>(0xE0 | cp >> 12);
            *out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | cp >> 18);
            *out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            *out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    // A string at at_ (its quote already seen by peek), escapes decoded.
    bool string(std::string *out) {
        ++at_;
        out->clear();
        for (;;) {
            if (at_ >= text_.size()) {
                return syntax();
            }
            const auto c = static_cast<unsigned char>(text_[at_]);
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c < 0x20) {
                return syntax();
            }
            if (c != '\\') {
                const std::size_t n = u_utf8_length(text_.substr(at_));
                if (n == 0) {
                    return syntax();
                }
                out->append(text_.substr(at_, n));
                at_ += n;
                continue;
            }
            ++at_;
            const char e = at_ < text_.size() ? text_[at_] : '\0';
            ++at_;
            constexpr std::string_view kFrom = "\"\\/bfnrt";
            constexpr std::string_view kTo = "\"\\/\b\f\n\r\t";
            if (const std::size_t k = kFrom.find(e); k != std::string_view::npos) {
                *out += kTo[k];
                continue;
            }
            std::uint32_t cp = 0;
            if (e != 'u') {
                return fail(Error::not_json, "", at_ - 1);
            }
            if (!hex4(&cp)) {
                return false;
            }
            if (cp >= 0xDC00 && cp <= 0xDFFF) {
                return fail(Error::not_json, "", at_ - 6);
            }
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                // A high surrogate takes the low one that must follow.
                std::uint32_t low = 0;
                if (text_.substr(at_, 2) != "\\u") {
                    return fail(Error::not_json, "", at_ - 6);
                }
                at_ += 2;
                if (!hex4(&low)) {
                    return false;
                }
                if (low < 0xDC00 || low > 0xDFFF) {
                    return fail(Error::not_json, "", at_ - 6);
                }
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            }
            put_utf8(cp, out);
        }
    }
    // A number at at_, in JSON's grammar: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
    // `*in_range` is false when it does not fit a double.
    bool number(double *value, bool *in_range) {
        const std::size_t start = at_;
        const auto digit = [&] {
            return at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9';
        };
        const auto digits = [&] {
            if (!digit()) {
                return false;
            }
            while (digit()) {
                ++at_;
            }
            return true;
        };
        if (text_[at_] == '-') {
            ++at_;
        }
        if (at_ < text_.size() && text_[at_] == '0') {
            ++at_;
        } else if (!digits()) {
            return syntax();
        }
        if (at_ < text_.size() && text_[at_] == '.') {
            ++at_;
            if (!digits()) {
                return syntax();
            }
        }
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            ++at_;
            if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) {
                ++at_;
            }
            if (!digits()) {
                return syntax();
            }
        }
        const auto [end, ec] = std::from_chars(text_.data() + start, text_.data() + at_, *value);
        *in_range = ec == std::errc{} && end == text_.data() + at_;
        return true;
    }

    // A value of the kind `want`, or a wrong_type fault for `member`.
    bool expect(Kind want, const std::string &member, const char *expected) {
        const Kind got = peek();
        if (got == want) {
            return true;
        }
        if (got == Kind::none) {
            return syntax();
        }
        return fail(Error::wrong_type, member, at_, expected);
    }
    // An object's members in turn: `each(name, path, start)` reads the value
    // of each, refusing a name given twice.
    template <typename Each> bool members(const std::string &path, Each &&each) {
        ++at_; // '{'
        std::vector<std::string> seen;
        if (take('}')) {
            return true;
        }
        do {
            if (peek() != Kind::string) {
                return syntax();
            }
            const std::size_t name_at = at_;
            std::string name;
            if (!string(&name)) {
                return false;
            }
            const std::string member = path.empty() ? name : path + "." + name;
            for (const std::string &s : seen) {
                if (s == name) {
                    return fail(Error::duplicate_member, member, name_at);
                }
            }
            seen.push_back(name);
            if (!take(':')) {
                return syntax();
            }
            skip_space();
            if (!each(name, member, name_at)) {
                return false;
            }
        } while (take(','));
        return take('}') ? true : syntax();
    }

    bool length(const std::string &member, double *value) {
        if (!expect(Kind::number, member, "a number")) {
            return false;
        }
        const std::size_t start = at_;
        bool in_range = false;
        if (!number(value, &in_range)) {
            return false;
        }
        if (!in_range || !(*value > 0) || !(*value <= kLargestLength)) {
            return fail(Error::bad_length, member, start);
        }
        return true;
    }
    bool unit(const std::string &member, LengthUnit *value) {
        if (!expect(Kind::string, member, "a string")) {
            return false;
        }
        const std::size_t start = at_;
        std::string text;
        if (!string(&text)) {
            return false;
        }
        return parse_unit(text, value) == 0 || fail(Error::bad_unit, member, start);
    }
    bool integer(const std::string &member, std::int32_t *value, const char *expected) {
        if (!expect(Kind::number, member, expected)) {
            return false;
        }
        const std::size_t start = at_;
        double d = 0;
        bool in_range = false;
        if (!number(&d, &in_range)) {
            return false;
        }
        // A number with no fraction, as JSON Schema's "integer" takes it (so
        // 7.0 and 7e0 are 7).
        if (!in_range || d != std::floor(d) || d < INT32_MIN || d > INT32_MAX) {
            return fail(Error::bad_integer, member, start);
        }
        *value = static_cast<std::int32_t>(d);
        return true;
    }
    bool text(const std::string &member, std::string *value) {
        return expect(Kind::string, member, "a string") && string(value);
    }

    bool pixel_size(const std::string &path, std::optional<PixelSize> *out);
    bool z_scale(const std::string &path, std::optional<ZScale> *out);
    bool valid(const std::string &path, std::optional<ValidRange> *out);
    bool nodata(const std::string &path, std::vector<std::int32_t> *out);

    std::string_view text_;
    std::size_t start_ = 0; // past a byte order mark
    std::size_t at_ = 0;
    CalibrationProblem *problem_;
};

bool Reader::pixel_size(const std::string &path, std::optional<PixelSize> *out) {
    const std::size_t start = at_;
    if (!expect(Kind::object, path, "an object")) {
        return false;
    }
    std::optional<double> x;
    std::optional<double> y;
    std::optional<LengthUnit> u;
    const bool ok =
        members(path, [&](const std::string &name, const std::string &member, std::size_t name_at) {
            double v = 0;
            LengthUnit lu = LengthUnit::m;
            if (name == "x" || name == "y") {
                if (!length(member, &v)) {
                    return false;
                }
                (name == "x" ? x : y) = v;
                return true;
            }
            if (name == "unit") {
                if (!unit(member, &lu)) {
                    return false;
                }
                u = lu;
                return true;
            }
            return fail(Error::unknown_member, member, name_at);
        });
    if (!ok) {
        return false;
    }
    if (!x || !u) {
        return fail(Error::missing_member, path + (x ? ".unit" : ".x"), start);
    }
    *out = PixelSize{*x, y.value_or(*x), *u};
    return true;
}

bool Reader::z_scale(const std::string &path, std::optional<ZScale> *out) {
    const std::size_t start = at_;
    if (!expect(Kind::object, path, "an object")) {
        return false;
    }
    std::optional<double> value;
    std::optional<LengthUnit> u;
    const bool ok =
        members(path, [&](const std::string &name, const std::string &member, std::size_t name_at) {
            double v = 0;
            LengthUnit lu = LengthUnit::m;
            if (name == "value") {
                if (!length(member, &v)) {
                    return false;
                }
                value = v;
                return true;
            }
            if (name == "unit") {
                if (!unit(member, &lu)) {
                    return false;
                }
                u = lu;
                return true;
            }
            return fail(Error::unknown_member, member, name_at);
        });
    if (!ok) {
        return false;
    }
    if (!value || !u) {
        return fail(Error::missing_member, path + (value ? ".unit" : ".value"), start);
    }
    *out = ZScale{*value, *u};
    return true;
}

bool Reader::valid(const std::string &path, std::optional<ValidRange> *out) {
    const std::size_t start = at_;
    if (!expect(Kind::object, path, "an object")) {
        return false;
    }
    ValidRange range;
    const bool ok =
        members(path, [&](const std::string &name, const std::string &member, std::size_t name_at) {
            if (name != "min" && name != "max") {
                return fail(Error::unknown_member, member, name_at);
            }
            std::optional<std::int32_t> &bound = name == "min" ? range.min : range.max;
            if (peek() == Kind::null) {
                bound.reset();
                return literal("null");
            }
            std::int32_t v = 0;
            if (!integer(member, &v, "a whole number or null")) {
                return false;
            }
            bound = v;
            return true;
        });
    if (!ok) {
        return false;
    }
    if (range.min && range.max && *range.min > *range.max) {
        return fail(Error::min_above_max, path, start);
    }
    *out = range;
    return true;
}

bool Reader::nodata(const std::string &path, std::vector<std::int32_t> *out) {
    const std::size_t start = at_;
    if (!expect(Kind::array, path, "a list")) {
        return false;
    }
    ++at_; // '['
    std::vector<std::int32_t> values;
    if (!take(']')) {
        do {
            std::int32_t v = 0;
            if (!integer(path + "[" + std::to_string(values.size()) + "]", &v, "a whole number")) {
                return false;
            }
            values.push_back(v);
        } while (take(','));
        if (!take(']')) {
            return syntax();
        }
    }
    if (values.empty() || values.size() > Validity::kMaxNodata) {
        return fail(Error::bad_count, path, start);
    }
    *out = std::move(values);
    return true;
}

bool Reader::file(Calibration *out) {
    const Kind top = peek();
    if (top == Kind::none) {
        return syntax();
    }
    if (top != Kind::object) {
        return fail(Error::not_an_object, "", at_);
    }
    Calibration c;
    std::string ignored;
    const bool ok =
        members("", [&](const std::string &name, const std::string &member, std::size_t name_at) {
            if (name == "pixel_size") {
                return pixel_size(member, &c.pixel_size);
            }
            if (name == "z_scale") {
                return z_scale(member, &c.z_scale);
            }
            if (name == "nodata") {
                return nodata(member, &c.nodata);
            }
            if (name == "valid") {
                return valid(member, &c.valid);
            }
            if (name == "description") {
                std::string d;
                if (!text(member, &d)) {
                    return false;
                }
                c.description = std::move(d);
                return true;
            }
            if (name == "$schema") {
                return text(member, &ignored);
            }
            return fail(Error::unknown_member, member, name_at);
        });
    if (!ok) {
        return false;
    }
    skip_space();
    if (at_ != text_.size()) {
        return syntax();
    }
    *out = std::move(c);
    return true;
}

struct ErrorText {
    Error error;
    const char *text;
};
constexpr ErrorText kErrorTexts[] = {
    {Error::none, "no fault"},
    {Error::cant_open, "cannot be opened"},
    {Error::cant_read, "cannot be read"},
    {Error::too_large, "is longer than 65536 bytes"},
    {Error::not_json, "not JSON (or not UTF-8) from here"},
    {Error::not_an_object, "not a JSON object"},
    {Error::unknown_member,
     "not a member of a calibration file (pixel_size, z_scale, nodata, valid, description; "
     "pixel_size takes x, y and unit, z_scale value and unit, valid min and max)"},
    {Error::duplicate_member, "given twice"},
    {Error::wrong_type, "a value of another type than the member takes"},
    {Error::missing_member, "missing"},
    {Error::bad_unit, "not a length unit (m, mm, um, \xC2\xB5m or nm)"},
    {Error::bad_length, "not a positive number of at most 1e12"},
    {Error::bad_integer, "not a whole number within the 32-bit range"},
    {Error::bad_count, "not a list of 1 to 16 values"},
    {Error::min_above_max, "min is above max"},
};

} // namespace

int Calibration::validity(Validity *rule) const {
    if (!valid && nodata.empty()) {
        *rule = Validity::markers();
        return 0;
    }
    return Validity::chosen(valid.value_or(ValidRange{}), nodata, rule);
}

const char *calibration_error_text(CalibrationError error) {
    for (const ErrorText &e : kErrorTexts) {
        if (e.error == error) {
            return e.text;
        }
    }
    return "unknown fault";
}

std::string calibration_message(const CalibrationProblem &problem) {
    std::string where;
    if (!problem.member.empty()) {
        where = problem.member;
    }
    if (problem.line != 0) {
        const std::string position =
            "line " + std::to_string(problem.line) + ", column " + std::to_string(problem.column);
        where = where.empty() ? position : where + " (" + position + ")";
    }
    const std::string text = problem.error == Error::wrong_type && problem.expected != nullptr
                                 ? std::string("not ") + problem.expected
                                 : calibration_error_text(problem.error);
    return where.empty() ? text : where + ": " + text;
}

int calibration_parse(std::string_view text, Calibration *calibration,
                      CalibrationProblem *problem) {
    *problem = CalibrationProblem{};
    Reader reader(text, problem);
    return reader.file(calibration) ? 0 : ERR_INVALID_PARAM;
}

int calibration_read(const char *path, Calibration *calibration, CalibrationProblem *problem) {
    *problem = CalibrationProblem{};
    std::FILE *file = u_platform_open_read(path);
    if (file == nullptr) {
        problem->error = Error::cant_open;
        return ERR_CANT_OPEN_FILE;
    }
    // One byte more than the largest file allowed tells a longer one apart.
    std::string text(kCalibrationMaxBytes + 1, '\0');
    const std::size_t n = std::fread(text.data(), 1, text.size(), file);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed || n > kCalibrationMaxBytes) {
        problem->error = failed ? Error::cant_read : Error::too_large;
        return ERR_CANT_READ_FILE;
    }
    text.resize(n);
    return calibration_parse(text, calibration, problem);
}

} // namespace pdx
