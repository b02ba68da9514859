// Reading and writing model files. The format comes from the flags ('l' LP,
// 'x' MPS) or else from the file name's ending (.lp, .mps); a name without
// an ending is tried as given, then with ".mps" and ".lp" when reading, and
// gets the format's ending when writing. Names ending in .gz are read and
// written compressed.
#include <sys/stat.h>

#include <cstring>

#include "api/model_checks.h"
#include "api/model_replace.h"
#include "io/formats.h"

using namespace krvs;

namespace {

enum class Format { Mps, Lp };

bool ends_with(const std::string &s, const char *tail) {
  size_t n = strlen(tail);
  if (s.size() < n) return false;
  for (size_t k = 0; k < n; ++k) {
    char c = s[s.size() - n + k];
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (c != tail[k]) return false;
  }
  return true;
}

bool has_ending(const std::string &name) {
  size_t slash = name.find_last_of('/');
  size_t dot = name.find_last_of('.');
  return dot != std::string::npos && (slash == std::string::npos || dot > slash);
}

bool exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

Format format_of(const std::string &name, const char *flags) {
  std::string f = flags ? flags : "";
  if (f.find('l') != std::string::npos) return Format::Lp;
  if (f.find('x') != std::string::npos) return Format::Mps;
  return ends_with(name, ".lp") || ends_with(name, ".lp.gz") ? Format::Lp : Format::Mps;
}

}  // namespace

extern "C" {

int KRVSreadprob(KRVSprob prob, const char *filename, const char *flags) noexcept {
  return guard_problem(prob, [&] {
    if (!filename || !*filename) throw Error("KRVSreadprob: no file name given");
    std::string path = filename;
    std::string f = flags ? flags : "";
    if (!exists(path) && exists(path + ".gz")) path += ".gz";
    if (!exists(path) && !has_ending(path)) {
      bool lp = f.find('l') != std::string::npos;
      bool mps = f.find('x') != std::string::npos;
      for (const char *tail : {".mps", ".mps.gz", ".lp", ".lp.gz"}) {
        bool is_lp = tail[1] == 'l';
        if ((is_lp ? !mps : !lp) && exists(path + tail)) {
          path += tail;
          break;
        }
      }
    }
    if (!exists(path)) throw Error("KRVSreadprob: cannot open file " + path + ": " + strerror(ENOENT));
    // Read into a new model: a file that fails leaves the problem as it was.
    Model m;
    std::string name;
    if (format_of(path, flags) == Format::Lp)
      io::read_lp(path, m, name);
    else
      io::read_mps(path, m, name);
    Model &old = model_of(prob);
    m.structure_version = old.structure_version + 1;
    m.data_version = old.data_version + 1;
    old = std::move(m);
    forget_replaced_model(prob);
    if (name.empty()) {
      // The file's base name, without its ending.
      size_t slash = path.find_last_of('/');
      name = path.substr(slash == std::string::npos ? 0 : slash + 1);
      for (const char *tail : {".gz", ".mps", ".lp"})
        if (ends_with(name, tail)) name.resize(name.size() - strlen(tail));
    }
    prob->name = name;
  });
}

int KRVSwriteprob(KRVSprob prob, const char *filename, const char *flags) noexcept {
  return guard_problem(prob, [&] {
    if (!filename || !*filename) throw Error("KRVSwriteprob: no file name given");
    std::string path = filename;
    Format format = format_of(path, flags);
    if (!has_ending(path)) path += format == Format::Lp ? ".lp" : ".mps";
    if (format == Format::Lp)
      io::write_lp(path, model_of(prob), prob->name);
    else
      io::write_mps(path, model_of(prob), prob->name);
  });
}

}  // extern "C"
