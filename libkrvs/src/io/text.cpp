#include "io/text.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unordered_set>

#include <zlib.h>

#include "core/guard.h"

namespace krvs::io {

void parse_error(const std::string &file, int line, const std::string &what) {
  throw Error(file + ":" + std::to_string(line) + ": " + what);
}

bool parse_number(std::string_view text, double &value) {
  if (text.empty() || text.size() > 64) return false;
  char buf[72];
  size_t n = 0;
  for (char c : text) buf[n++] = (c == 'd' || c == 'D') ? 'e' : c;
  buf[n] = '\0';
  std::string_view body(buf, n);
  if (body[0] == '+' || body[0] == '-') body.remove_prefix(1);
  std::string word = lower(body);
  if (word == "inf" || word == "infinity") {
    value = buf[0] == '-' ? -1e20 : 1e20;
    return true;
  }
  // Only digits, a point, an exponent and signs: strtod would also take
  // hexadecimal numbers and "nan".
  for (char c : word)
    if (!((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == '+' || c == '-')) return false;
  char *end = nullptr;
  errno = 0;
  double v = strtod(buf, &end);
  if (end != buf + n || end == buf) return false;
  if (std::isnan(v)) return false;
  value = v >= 1e20 ? 1e20 : v <= -1e20 ? -1e20 : v;
  return true;
}

std::string format_number(double v) {
  if (v >= 1e20) return "1e+30";
  if (v <= -1e20) return "-1e+30";
  if (v == 0) return "0";
  char buf[40];
  for (int digits = 15; digits <= 17; ++digits) {
    snprintf(buf, sizeof buf, "%.*g", digits, v);
    if (strtod(buf, nullptr) == v) break;
  }
  return buf;
}

std::string read_file(const std::string &path) {
  // zlib reads plain files as they are and decompresses gzip files.
  gzFile in = gzopen(path.c_str(), "rb");
  if (!in) throw Error("cannot open file " + path + ": " + strerror(errno ? errno : ENOENT));
  std::string text;
  char buf[1 << 16];
  int n;
  while ((n = gzread(in, buf, sizeof buf)) > 0) text.append(buf, size_t(n));
  int errnum = Z_OK;
  gzerror(in, &errnum);
  bool failed = n < 0 || (errnum != Z_OK && errnum != Z_STREAM_END);  // Z_BUF_ERROR: cut short
  gzclose(in);
  if (failed) throw Error("cannot read file " + path + " (damaged compressed data?)");
  // Normalise CR LF and lone CR line ends.
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r') {
      out.push_back('\n');
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::vector<std::string_view> split_blanks(std::string_view line) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t b = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > b) out.push_back(line.substr(b, i - b));
  }
  return out;
}

std::vector<std::string> file_names(const std::vector<std::string> &names, const char *kind, char prefix,
                                    const NameChecker &check) {
  std::vector<std::string> out(names.size());
  std::unordered_set<std::string> seen;
  seen.reserve(names.size() * 2);
  for (size_t i = 0; i < names.size(); ++i) {
    std::string name = names[i];
    if (!check.usable(name)) {
      if (check.refuse)
        throw Error(std::string("cannot write the name '") + name + "' of " + kind + " " + std::to_string(i) +
                    " in " + check.format + " format");
      name = std::string(1, prefix) + std::to_string(i);
    }
    std::string unique = name;
    for (int k = 1; !seen.insert(unique).second; ++k) unique = name + "_" + std::to_string(k);
    out[i] = std::move(unique);
  }
  return out;
}

void write_file(const std::string &path, const std::string &text) {
  size_t n = path.size();
  if (n > 3 && path.compare(n - 3, 3, ".gz") == 0) {
    gzFile out = gzopen(path.c_str(), "wb");
    if (!out) throw Error("cannot open file " + path + " for writing: " + strerror(errno ? errno : EACCES));
    size_t done = 0;
    bool ok = true;
    while (ok && done < text.size()) {
      unsigned chunk = unsigned(std::min<size_t>(text.size() - done, 1u << 30));
      ok = gzwrite(out, text.data() + done, chunk) == int(chunk);
      done += chunk;
    }
    if (gzclose(out) != Z_OK || !ok) throw Error("cannot write file " + path);
    return;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw Error("cannot open file " + path + " for writing: " + strerror(errno));
  out.write(text.data(), std::streamsize(text.size()));
  out.close();
  if (!out) throw Error("cannot write file " + path);
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char &c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

}  // namespace krvs::io
