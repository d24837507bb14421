// One line of JSON Lines as import reads it: a flat object whose fields of
// interest are kept by name. A fast reader takes the flat objects export
// writes; anything else (nesting, exponents, errors) goes to nlohmann-json,
// which also words the errors.
#ifndef ROREZUREDI_LOG_JSON_ROW_H
#define ROREZUREDI_LOG_JSON_ROW_H

#include <array>
#include <string>
#include <string_view>

namespace logtool {

struct json_field {
    enum kind_t { absent, null, string, number, boolean, other };
    kind_t kind = absent;
    std::string text;  // a string's decoded text, a number's JSON text, "true" or "false"
};

// The fields import reads, in this order.
constexpr std::array<std::string_view, 8> row_field_names = {"batch", "time", "action", "iso_time",
                                                             "path",  "type", "value",  "stamp"};
enum row_field { f_batch, f_time, f_action, f_iso_time, f_path, f_type, f_value, f_stamp };

struct json_row {
    std::array<json_field, row_field_names.size()> fields;
    const json_field& operator[](row_field f) const { return fields[f]; }
};

// The length of the valid UTF-8 sequence at text[at] (1 for ASCII), or 0
// when none starts there.
std::size_t utf8_length(std::string_view text, std::size_t at);

// Reads `line` into `row`; false with `error` set when it is not a JSON object.
bool read_json_row(std::string_view line, json_row& row, std::string& error);

}  // namespace logtool

#endif
