// Helpers shared by the file readers and writers: error texts that name the
// file and line, number parsing and exact number formatting.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace krvs::io {

// Throws krvs::Error "file:line: what".
[[noreturn]] void parse_error(const std::string &file, int line, const std::string &what);

// A number of a model file: Fortran exponents (1.0D3) are accepted, and
// "inf"/"infinity" (any case, optional sign). Magnitudes of 1e20 and more
// become +-1e20. False when the text is not a number.
bool parse_number(std::string_view text, double &value);

// The shortest text that reads back as exactly the same double; infinite
// values are written as +-1e+30 so that any reader takes them as infinite.
std::string format_number(double v);

// The whole file, with line ends normalised (CR removed); throws when it
// cannot be read. Compressed (gzip) files are decompressed.
std::string read_file(const std::string &path);

// Splits on blanks and tabs.
std::vector<std::string_view> split_blanks(std::string_view line);

// Names for a file: the model's names, with any repeated name made unique
// by a suffix. `usable` tells whether the file format can hold a name; a
// name it cannot hold is refused (refuse = true) or replaced by a generated
// one.
struct NameChecker {
  bool (*usable)(const std::string &);
  bool refuse;
  const char *format;
};
std::vector<std::string> file_names(const std::vector<std::string> &names, const char *kind, char prefix,
                                    const NameChecker &check);

// Writes text to a file (compressed when its name ends in .gz), throwing
// with the file name when that fails.
void write_file(const std::string &path, const std::string &text);

// Lower-case copy.
std::string lower(std::string_view s);

}  // namespace krvs::io
