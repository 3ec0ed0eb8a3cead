// windows_test_compare triples|columns LINUX_FILE WINDOWS_FILE
//
// Compares a result file of the Windows build with the Linux build's for the
// same input. Every field that no logarithm enters must be byte-identical, as
// must the line ends. A field that a logarithm enters is identical when both
// builds take the same log function; two C libraries' logs may differ in the
// last bit, so such a field may be up to 2 ulp apart. The interaction
// information is a difference of seven entropies: its allowance is absolute,
// 2 ulp of each entropy plus one ulp of each of its six partial sums (at most
// 3 times the largest entropy), 32 ulp of the largest entropy in all.
// Prints how many log fields were identical and how many only within the
// allowance; exits 1 at the first mismatch beyond it.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::optional<std::string> read_all(const char* name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Lines with their line end kept, so that a missing CR is a mismatch too.
std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    end = end == std::string_view::npos ? text.size() : end + 1;
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end);
  }
  return lines;
}

std::vector<std::string_view> fields_of(std::string_view line) {
  std::vector<std::string_view> fields;
  for (;;) {
    std::size_t comma = line.find(',');
    fields.push_back(line.substr(0, comma));
    if (comma == std::string_view::npos) return fields;
    line.remove_prefix(comma + 1);
  }
}

std::optional<double> number(std::string_view text) {
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Distance in units in the last place between two finite doubles.
std::uint64_t ulps_apart(double a, double b) {
  auto key = [](double x) {
    const auto bits = std::bit_cast<std::int64_t>(x);
    return bits < 0 ? std::numeric_limits<std::int64_t>::min() - bits : bits;
  };
  const std::int64_t ka = key(a), kb = key(b);
  return ka > kb ? static_cast<std::uint64_t>(ka) - static_cast<std::uint64_t>(kb)
                 : static_cast<std::uint64_t>(kb) - static_cast<std::uint64_t>(ka);
}

double ulp(double x) {
  x = std::fabs(x);
  return std::nextafter(x, std::numeric_limits<double>::infinity()) - x;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: windows_test_compare triples|columns LINUX_FILE WINDOWS_FILE\n");
    return 2;
  }
  const std::string_view kind = argv[1];
  // 0-based fields that a logarithm enters: the interaction information and
  // the seven entropies of a triple; the entropy of a column.
  constexpr std::size_t kInteraction = 3;
  std::vector<bool> takes_log;
  if (kind == "triples") {
    takes_log = {false, false, false, true, true, true, true, true, true, true, true};
  } else if (kind == "columns") {
    takes_log.assign(14, false);
    takes_log[5] = true;
  } else {
    std::fprintf(stderr, "windows_test_compare: unknown kind %s\n", argv[1]);
    return 2;
  }
  const auto linux_text = read_all(argv[2]);
  const auto windows_text = read_all(argv[3]);
  if (!linux_text || !windows_text) {
    std::fprintf(stderr, "windows_test_compare: cannot read %s\n", !linux_text ? argv[2] : argv[3]);
    return 1;
  }
  const auto linux_lines = lines_of(*linux_text);
  const auto windows_lines = lines_of(*windows_text);
  auto fail = [&](std::size_t line, const std::string& why) {
    std::fprintf(stderr, "%s line %zu: %s\n  linux:   %.*s\n  windows: %.*s\n", argv[3], line + 1, why.c_str(),
                 line < linux_lines.size() ? static_cast<int>(linux_lines[line].size()) : 0,
                 line < linux_lines.size() ? linux_lines[line].data() : "",
                 line < windows_lines.size() ? static_cast<int>(windows_lines[line].size()) : 0,
                 line < windows_lines.size() ? windows_lines[line].data() : "");
    return 1;
  };
  if (linux_lines.size() != windows_lines.size()) {
    return fail(std::min(linux_lines.size(), windows_lines.size()), "line counts differ");
  }

  std::size_t exact = 0, log_identical = 0, log_close = 0;
  std::uint64_t worst = 0;
  for (std::size_t l = 0; l < linux_lines.size(); ++l) {
    const std::string_view a = linux_lines[l], b = windows_lines[l];
    const bool a_crlf = a.ends_with("\r\n"), b_crlf = b.ends_with("\r\n");
    if (!a_crlf || !b_crlf) return fail(l, "line does not end in CR LF");
    const auto fa = fields_of(a.substr(0, a.size() - 2));
    const auto fb = fields_of(b.substr(0, b.size() - 2));
    if (fa.size() != takes_log.size() || fb.size() != takes_log.size()) return fail(l, "field counts differ");
    double largest_entropy = 0;
    for (std::size_t f = kInteraction + 1; kind == "triples" && f < fa.size(); ++f) {
      largest_entropy = std::max(largest_entropy, std::fabs(number(fa[f]).value_or(0)));
    }
    for (std::size_t f = 0; f < fa.size(); ++f) {
      if (fa[f] == fb[f]) {
        (takes_log[f] ? log_identical : exact) += 1;
        continue;
      }
      const std::string which = "field " + std::to_string(f + 1);
      if (!takes_log[f]) return fail(l, which + " differs and takes no logarithm");
      const auto va = number(fa[f]), vb = number(fb[f]);
      if (!va || !vb || !std::isfinite(*va) || !std::isfinite(*vb)) return fail(l, which + " is no number");
      const std::uint64_t apart = ulps_apart(*va, *vb);
      const bool interaction = kind == "triples" && f == kInteraction;
      if (apart > 2 && !(interaction && std::fabs(*va - *vb) <= 32 * ulp(largest_entropy))) {
        return fail(l, which + " is " + std::to_string(apart) + " ulp apart");
      }
      worst = std::max(worst, apart);
      ++log_close;
    }
  }
  std::printf("%s: %zu lines; %zu log-free fields byte-identical; log fields: %zu identical, %zu within the "
              "allowance (largest %llu ulp)\n",
              argv[3], linux_lines.size(), exact, log_identical, log_close,
              static_cast<unsigned long long>(worst));
  return 0;
}
