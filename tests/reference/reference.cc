// The literal run, step by step in the order it is written down. Clarity and
// faithfulness over speed: nothing is cached, skipped or reordered.
#include "tests/reference/reference.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "shell/natural_log.h"
#include "shell/run_error.h"

namespace infodiv::reference {
namespace {

namespace fs = std::filesystem;

using Matrix = std::vector<std::vector<double>>;

// A run-stopping error inside the reference; run_literal turns it into the
// Outcome once every file of the run has been closed by unwinding.
struct Stop {
  ErrorKind kind;
};

[[noreturn]] void stop(ErrorKind kind) { throw Stop{kind}; }

// ---------------------------------------------------------------------------
// Checked double arithmetic: every operation of the run goes through one of
// these, so a failure is reported at the very operation that fails.

double finite(double result) {
  if (!std::isfinite(result)) stop(ErrorKind::Overflow);
  return result;
}
double add(double a, double b) { return finite(a + b); }
double sub(double a, double b) { return finite(a - b); }
double mul(double a, double b) { return finite(a * b); }
double div(double a, double b) {
  if (b == 0.0) stop(ErrorKind::DivisionByZero);
  return finite(a / b);
}
double root(double a) { return finite(std::sqrt(a)); }
// Only ever called with a positive proportion.
double ln(double x) { return natural_log(x); }

// A checked read of a matrix cell: a matrix that was never loaded has no
// cells, and reading one stops the run.
double cell(const Matrix& m, long column, long row) {
  if (column < 0 || row < 0 || static_cast<std::size_t>(column) >= m.size() ||
      static_cast<std::size_t>(row) >= m[static_cast<std::size_t>(column)].size()) {
    stop(ErrorKind::SubscriptOutOfRange);
  }
  return m[static_cast<std::size_t>(column)][static_cast<std::size_t>(row)];
}

// ---------------------------------------------------------------------------
// Files by number.

bool file_exists(const fs::path& path) {
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(path, ec);
  return fs::exists(status) && !fs::is_directory(status);
}

void delete_file(const fs::path& path) {
  std::error_code ec;
  if (!fs::remove(path, ec) || ec) stop(ErrorKind::PermissionDenied);
}

// Opening for appending creates a missing file and writes at its end.
std::ofstream open_for_append(const fs::path& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) stop(ErrorKind::PathFileAccessError);
  const fs::path folder = path.parent_path();
  if (!folder.empty() && !fs::is_directory(folder, ec)) stop(ErrorKind::PathNotFound);
  std::ofstream file(path, std::ios::binary | std::ios::app);
  if (!file) stop(ErrorKind::PermissionDenied);
  return file;
}

void append_line(std::ofstream& file, const std::string& line) {
  file << line;
  file.flush();
  if (!file) stop(ErrorKind::DeviceIOError);
}

void close_file(std::ofstream& file) {
  file.close();
  if (!file) stop(ErrorKind::DeviceIOError);
}

// An input file open for reading lines, positioned at its beginning. Lines end
// at LF, CR LF or a lone CR; a line end at the very end of the file starts no
// further line; a UTF-8 byte-order mark at the start is not part of line 1.
struct InputFile {
  std::string bytes;
  std::size_t at = 0;
};

InputFile open_for_input(const fs::path& path) {
  std::error_code ec;
  if (!fs::exists(path, ec)) stop(ErrorKind::FileNotFound);
  if (fs::is_directory(path, ec)) stop(ErrorKind::PathFileAccessError);
  std::ifstream in(path, std::ios::binary);
  if (!in) stop(ErrorKind::PermissionDenied);
  InputFile file;
  file.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) stop(ErrorKind::DeviceIOError);
  if (file.bytes.rfind("\xEF\xBB\xBF", 0) == 0) file.at = 3;
  return file;
}

bool end_of_file(const InputFile& file) { return file.at >= file.bytes.size(); }

std::string read_line(InputFile& file) {
  if (end_of_file(file)) stop(ErrorKind::InputPastEndOfFile);
  const std::size_t start = file.at;
  while (file.at < file.bytes.size() && file.bytes[file.at] != '\r' && file.bytes[file.at] != '\n') ++file.at;
  std::string line = file.bytes.substr(start, file.at - start);
  if (file.at < file.bytes.size()) {
    const bool crlf = file.bytes[file.at] == '\r' && file.at + 1 < file.bytes.size() && file.bytes[file.at + 1] == '\n';
    file.at += crlf ? 2 : 1;
  }
  return line;
}

// ---------------------------------------------------------------------------
// Text services.

// Every piece kept, empty ones included; an empty text gives no piece.
std::vector<std::string> split_at_commas(const std::string& text) {
  std::vector<std::string> pieces;
  if (text.empty()) return pieces;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    if (comma == std::string::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
}

bool is_digit(char ch) { return ch >= '0' && ch <= '9'; }

// The leading number of a piece; 0 when it has none.
double leading_number(const std::string& piece) {
  std::string s;
  for (char ch : piece) {
    if (ch != ' ' && ch != '\t' && ch != '\n') s += ch;
  }
  std::string number;
  std::size_t at = 0;
  if (at < s.size() && (s[at] == '+' || s[at] == '-')) number += s[at++];
  bool digits = false;
  bool point = false;
  while (at < s.size()) {
    if (is_digit(s[at])) {
      digits = true;
    } else if (s[at] == '.' && !point) {
      point = true;
    } else {
      break;
    }
    number += s[at++];
  }
  if (!digits) return 0.0;
  if (at < s.size() && (s[at] == 'e' || s[at] == 'E')) {
    std::string exponent = "e";
    std::size_t e = at + 1;
    if (e < s.size() && (s[e] == '+' || s[e] == '-')) exponent += s[e++];
    bool exponent_digits = false;
    while (e < s.size() && is_digit(s[e])) {
      exponent += s[e++];
      exponent_digits = true;
    }
    if (exponent_digits) number += exponent;  // "1e" and "1e+" read as 1
  }
  // strtod rounds correctly and, unlike from_chars, tells an overflow (inf)
  // from an underflow (0 or a subnormal). `number` is plain decimal text, so
  // strtod's own extras (hex, inf, nan) never come into play.
  const double value = std::strtod(number.c_str(), nullptr);
  if (std::isinf(value)) stop(ErrorKind::Overflow);
  return value;
}

std::string integer_text(long value) { return std::to_string(value); }

// Shortest round-trip text; -0 is written as 0.
std::string double_text(double value) {
  if (value == 0.0) return "0";
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string decimal_field(double value) {
  std::optional<std::string> text = decimal_text(value);
  if (!text) stop(ErrorKind::Overflow);
  return *text;
}

std::string join(const std::vector<std::string>& fields) {
  std::string line;
  for (std::size_t f = 0; f < fields.size(); ++f) {
    if (f > 0) line += ',';
    line += fields[f];
  }
  return line + "\r\n";
}

// ---------------------------------------------------------------------------
// The run state that Command1_Click owns.

struct RunState {
  int LastColumn = 0;
  Matrix DataMatrix;        // [column][row]; no cells before the first load
  long LastRow = 0;         // reads as 0 before the first load
  Matrix GramMatrix;        // [row][row]
  Matrix SimilarityMatrix;  // [row][row]
  Matrix ProfileMatrix;     // [column][row]
};

// LoadDataMatrix: reads file number 1 to its end into DataMatrix.
void load_data_matrix(InputFile& file1, RunState& run) {
  long row = 0;
  while (!end_of_file(file1)) {
    const std::string line = read_line(file1);
    const std::vector<std::string> pieces = split_at_commas(line);
    // Reshape to columns 0..LastColumn and rows 0..row, keeping what remains.
    run.DataMatrix.resize(static_cast<std::size_t>(run.LastColumn + 1));
    for (std::vector<double>& column : run.DataMatrix) column.resize(static_cast<std::size_t>(row + 1));
    for (int c = 0; c <= run.LastColumn; ++c) {
      if (static_cast<std::size_t>(c) >= pieces.size()) stop(ErrorKind::SubscriptOutOfRange);
      run.DataMatrix[static_cast<std::size_t>(c)][static_cast<std::size_t>(row)] =
          leading_number(pieces[static_cast<std::size_t>(c)]);
    }
    row = row + 1;
  }
  run.LastRow = row - 1;
}

// Form A: p x (ln p / ln 2).
double term_a(double p) { return mul(p, div(ln(p), ln2())); }
// Form B: (p x ln p) / ln 2.
double term_b(double p) { return div(mul(p, ln(p)), ln2()); }

// AnalyzeTriple: seven entropies of pooled cells and the interaction
// information; a record only when i < j < k, everything computed regardless.
void analyze_triple(const RunState& run, int i, int j, double k, std::ofstream& file2) {
  const Matrix& x = run.DataMatrix;
  const long kc = std::lround(k);

  double S_i = 0.0;
  double S_j = 0.0;
  double S_k = 0.0;
  for (long r = 0; r <= run.LastRow; ++r) {
    S_i = add(S_i, cell(x, i, r));
    S_j = add(S_j, cell(x, j, r));
    S_k = add(S_k, cell(x, kc, r));
  }
  const double S_ij = add(S_i, S_j);
  const double S_ik = add(S_i, S_k);
  const double S_jk = add(S_j, S_k);
  const double S_ijk = add(add(S_i, S_j), S_k);

  double H_i = 0.0;
  double H_j = 0.0;
  double H_k = 0.0;
  double H_ij = 0.0;
  double H_ik = 0.0;
  double H_jk = 0.0;
  double H_ijk = 0.0;
  for (long r = 0; r <= run.LastRow; ++r) {
    const double x_i = cell(x, i, r);
    const double x_j = cell(x, j, r);
    const double x_k = cell(x, kc, r);
    // All twelve proportions first, in this order.
    const double p1 = div(x_i, S_i);
    const double p2 = div(x_j, S_j);
    const double p3 = div(x_k, S_k);
    const double p4 = div(x_i, S_ij);
    const double p5 = div(x_j, S_ij);
    const double p6 = div(x_i, S_ik);
    const double p7 = div(x_k, S_ik);
    const double p8 = div(x_j, S_jk);
    const double p9 = div(x_k, S_jk);
    const double p10 = div(x_i, S_ijk);
    const double p11 = div(x_j, S_ijk);
    const double p12 = div(x_k, S_ijk);
    // Then their terms, in the same order.
    if (p1 > 0) H_i = sub(H_i, term_a(p1));
    if (p2 > 0) H_j = sub(H_j, term_a(p2));
    if (p3 > 0) H_k = sub(H_k, term_a(p3));
    if (p4 > 0) H_ij = sub(H_ij, term_b(p4));
    if (p5 > 0) H_ij = sub(H_ij, term_b(p5));
    if (p6 > 0) H_ik = sub(H_ik, term_b(p6));
    if (p7 > 0) H_ik = sub(H_ik, term_b(p7));
    if (p8 > 0) H_jk = sub(H_jk, term_b(p8));
    if (p9 > 0) H_jk = sub(H_jk, term_b(p9));
    if (p10 > 0) H_ijk = sub(H_ijk, term_b(p10));
    if (p11 > 0) H_ijk = sub(H_ijk, term_b(p11));
    if (p12 > 0) H_ijk = sub(H_ijk, term_b(p12));
  }

  const double InteractionInformation = add(sub(sub(sub(add(add(H_i, H_j), H_k), H_ij), H_ik), H_jk), H_ijk);
  // The conversion happens for every visit, written or not.
  const std::string interaction = decimal_field(InteractionInformation);

  if (j > i && k > j) {
    append_line(file2,
                join({integer_text(i), integer_text(j), double_text(k), interaction, double_text(H_i), double_text(H_j),
                      double_text(H_k), double_text(H_ij), double_text(H_ik), double_text(H_jk), double_text(H_ijk)}));
  }
}

// BuildRowSimilarity: the whole Gram and similarity matrices of the rows of
// the last load, and an all-zero ProfileMatrix.
void build_row_similarity(RunState& run) {
  const Matrix& x = run.DataMatrix;
  const std::size_t rows = static_cast<std::size_t>(run.LastRow + 1);
  run.ProfileMatrix.assign(static_cast<std::size_t>(run.LastColumn + 1), std::vector<double>(rows, 0.0));
  run.GramMatrix.assign(rows, std::vector<double>(rows, 0.0));
  run.SimilarityMatrix.assign(rows, std::vector<double>(rows, 0.0));
  Matrix& G = run.GramMatrix;
  Matrix& S = run.SimilarityMatrix;

  for (long r = 0; r <= run.LastRow; ++r) {
    double sum = 0.0;
    for (long c = 0; c <= run.LastColumn; ++c) {
      const double v = cell(x, c, r);
      sum = add(sum, mul(v, v));
    }
    G[static_cast<std::size_t>(r)][static_cast<std::size_t>(r)] = sum;
  }
  for (long c = 0; c <= run.LastColumn; ++c) {
    for (long r = 0; r <= run.LastRow; ++r) {
      for (long s = r + 1; s <= run.LastRow; ++s) {
        const double t = mul(cell(x, c, r), cell(x, c, s));
        double& rs = G[static_cast<std::size_t>(r)][static_cast<std::size_t>(s)];
        double& sr = G[static_cast<std::size_t>(s)][static_cast<std::size_t>(r)];
        rs = add(rs, t);
        sr = add(sr, t);
      }
    }
  }
  for (std::size_t r = 0; r < rows; ++r) {
    S[r][r] = 1.0;
    for (std::size_t s = r + 1; s < rows; ++s) {
      double v = 0.0;
      if (G[r][r] > 0 && G[s][s] > 0) v = div(G[r][s], root(mul(G[r][r], G[s][s])));
      S[r][s] = v;
      S[s][r] = v;
    }
  }
}

// The exchange sort that walks back after each exchange and resumes at the
// first place it had not reached.
void exchange_sort(std::vector<double>& a, long lo, long hi) {
  long i = lo + 1;
  long j = i + 1;
  while (i <= hi) {
    const std::size_t at = static_cast<std::size_t>(i);
    if (a[at] < a[at - 1]) {
      std::swap(a[at], a[at - 1]);
      if (i > lo + 1) i = i - 1;
    } else {
      i = j;
      j = j + 1;
    }
  }
}

// Column values that live across columns, cleared only after a record.
struct CarriedSums {
  double SimpsonSum = 0.0;
  double SortedSum = 0.0;
};

// Column statistics, then the pair sums and the ColumnRecord of column c.
void column_record(RunState& run, long c, CarriedSums& carried, std::ofstream& file4) {
  const Matrix& x = run.DataMatrix;
  const long n = run.LastRow + 1;
  const double n_d = static_cast<double>(n);
  std::vector<double>& profile = run.ProfileMatrix[static_cast<std::size_t>(c)];

  double ColumnTotal = 0.0;
  long PositiveCount = 0;
  for (long r = 0; r <= run.LastRow; ++r) {
    const double v = cell(x, c, r);
    ColumnTotal = add(ColumnTotal, v);
    if (v > 0) PositiveCount = PositiveCount + 1;
  }
  if (!(ColumnTotal > 0)) stop(ErrorKind::ColumnTotalNotPositive);

  const double PositiveShare = div(static_cast<double>(PositiveCount), n_d);

  double ColumnEntropy = 0.0;
  for (long r = 0; r <= run.LastRow; ++r) {
    const double q = div(cell(x, c, r), ColumnTotal);
    if (q > 0) {
      profile[static_cast<std::size_t>(r)] = q;
      ColumnEntropy = sub(ColumnEntropy, div(mul(q, ln(q)), ln2()));
    } else {
      profile[static_cast<std::size_t>(r)] = 0.0;
    }
  }

  std::vector<double> SortedColumn(static_cast<std::size_t>(n));
  for (long r = 0; r <= run.LastRow; ++r) {
    SortedColumn[static_cast<std::size_t>(r)] = cell(x, c, r);
    carried.SortedSum = add(carried.SortedSum, SortedColumn[static_cast<std::size_t>(r)]);
  }
  exchange_sort(SortedColumn, 0, run.LastRow);

  double g = 0.0;
  long m = 1;
  for (long r = 0; r <= run.LastRow; ++r) {
    const long weight = (2 * m - n) - 1;
    g = add(g, mul(SortedColumn[static_cast<std::size_t>(r)], static_cast<double>(weight)));
    m = m + 1;
  }
  const double GiniCoefficient = div(g, mul(n_d, carried.SortedSum));
  const double CorrectedGini = div(mul(n_d, GiniCoefficient), static_cast<double>(run.LastRow));

  // Pair sums over r < s.
  double DisparitySum = 0.0;
  double QuadraticSum = 0.0;
  double CombinedSum = 0.0;
  long PairCount = 0;
  for (long r = 0; r <= run.LastRow; ++r) {
    for (long s = r + 1; s <= run.LastRow; ++s) {
      const double p_r = profile[static_cast<std::size_t>(r)];
      const double p_s = profile[static_cast<std::size_t>(s)];
      carried.SimpsonSum = add(carried.SimpsonSum, mul(p_r, p_s));
      const double sim = run.SimilarityMatrix[static_cast<std::size_t>(r)][static_cast<std::size_t>(s)];
      if (mul(p_r, p_s) > 0) {
        DisparitySum = add(DisparitySum, sub(1.0, sim));
        QuadraticSum = add(QuadraticSum, mul(mul(p_r, p_s), sub(1.0, sim)));
        const double t = mul(mul(sub(1.0, GiniCoefficient), sub(1.0, sim)), PositiveShare);
        CombinedSum = add(CombinedSum, t);
        PairCount = PairCount + 1;
      }
    }
  }

  const double QuadraticDiversity = mul(2.0, QuadraticSum);
  const double SimpsonDiversity = mul(2.0, carried.SimpsonSum);
  const double CombinedDiversity = div(CombinedSum, static_cast<double>(PairCount));
  const double MeanDisparity = div(DisparitySum, static_cast<double>(PairCount));
  const double ScaledCombinedDiversity = mul(CombinedDiversity, n_d);
  const double QuadraticEquivalent = div(1.0, sub(1.0, QuadraticDiversity));

  const std::string quadratic = decimal_field(QuadraticDiversity);
  const std::string simpson = decimal_field(SimpsonDiversity);
  const std::string combined = decimal_field(CombinedDiversity);
  const std::string mean = decimal_field(MeanDisparity);
  const std::string equivalent = decimal_field(QuadraticEquivalent);
  const std::string scaled = decimal_field(ScaledCombinedDiversity);

  append_line(file4, join({scaled, combined, equivalent, quadratic, simpson, double_text(ColumnEntropy),
                           double_text(PositiveShare), mean, double_text(GiniCoefficient), double_text(CorrectedGini),
                           double_text(ColumnTotal), integer_text(PositiveCount), integer_text(PairCount), mean}));

  carried.SimpsonSum = 0.0;
  carried.SortedSum = 0.0;
}

// Command1_Click, from the deletion of old results to the close of file 4.
void command1_click(const RunPaths& paths) {
  if (file_exists(paths.results)) delete_file(paths.results);
  if (file_exists(paths.results2)) delete_file(paths.results2);
  std::ofstream file4 = open_for_append(paths.results2);

  RunState run;
  {
    InputFile file3 = open_for_input(paths.input);
    run.LastColumn = static_cast<int>(split_at_commas(read_line(file3)).size()) - 1;
  }

  for (int i = 0; i <= run.LastColumn - 2; ++i) {
    for (int j = 0; j <= run.LastColumn - 1; ++j) {
      for (int k = 0; k <= run.LastColumn; ++k) {
        const double k_value = k;
        InputFile file1 = open_for_input(paths.input);
        std::ofstream file2 = open_for_append(paths.results);
        load_data_matrix(file1, run);
        analyze_triple(run, i, j, k_value, file2);
        file1 = InputFile{};
        close_file(file2);
      }
    }
  }

  build_row_similarity(run);

  CarriedSums carried;
  for (long c = 0; c <= run.LastColumn; ++c) column_record(run, c, carried, file4);

  close_file(file4);
}

}  // namespace

std::optional<std::string> decimal_text(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  if (value == 0.0) return "0";

  // Shortest round-trip digits d1.d2...dn and exponent e: value = d1.d2...dn x 10^e.
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view sci(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const bool negative = sci.front() == '-';
  const std::size_t e_at = sci.find('e');
  std::string digits;
  for (char ch : sci.substr(negative ? 1 : 0, e_at - (negative ? 1 : 0))) {
    if (ch != '.') digits += ch;
  }
  int exponent = 0;
  const std::string_view exponent_text = sci.substr(e_at + 1);
  std::from_chars(exponent_text.data() + (exponent_text.front() == '+' ? 1 : 0),
                  exponent_text.data() + exponent_text.size(), exponent);

  // Place the point exactly: `point` digits stand before it.
  const long point = exponent + 1L;
  std::string whole;
  std::string fraction;
  if (point <= 0) {
    whole = "0";
    fraction = std::string(static_cast<std::size_t>(-point), '0') + digits;
  } else if (static_cast<std::size_t>(point) >= digits.size()) {
    whole = digits + std::string(static_cast<std::size_t>(point) - digits.size(), '0');
  } else {
    whole = digits.substr(0, static_cast<std::size_t>(point));
    fraction = digits.substr(static_cast<std::size_t>(point));
  }

  // Round half to even to 28 places, on the decimal digits themselves.
  constexpr std::size_t kMaxScale = 28;
  if (fraction.size() > kMaxScale) {
    const std::string dropped = fraction.substr(kMaxScale);
    fraction.resize(kMaxScale);
    bool up = false;
    if (dropped[0] > '5') {
      up = true;
    } else if (dropped[0] == '5') {
      const bool exactly_half = dropped.find_first_not_of('0', 1) == std::string::npos;
      up = !exactly_half || (fraction.back() - '0') % 2 == 1;
    }
    if (up) {
      std::string all = whole + fraction;
      std::size_t at = all.size();
      while (at > 0) {
        --at;
        if (all[at] == '9') {
          all[at] = '0';
        } else {
          ++all[at];
          break;
        }
        if (at == 0) all.insert(all.begin(), '1');
      }
      whole = all.substr(0, all.size() - kMaxScale);
      fraction = all.substr(all.size() - kMaxScale);
    }
  }
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  const std::size_t first = whole.find_first_not_of('0');
  whole = first == std::string::npos ? "0" : whole.substr(first);

  // The 96-bit coefficient bounds the magnitude at 2^96 - 1.
  const std::string_view max = "79228162514264337593543950335";
  const bool beyond =
      whole.size() > max.size() || (whole.size() == max.size() && (whole > max || (whole == max && !fraction.empty())));
  if (beyond) return std::nullopt;

  const bool zero = whole == "0" && fraction.empty();
  std::string text = negative && !zero ? "-" : "";
  text += whole;
  if (!fraction.empty()) text += "." + fraction;
  return text;
}

Outcome run_literal(const RunPaths& paths) {
  try {
    command1_click(paths);
    return {};
  } catch (const Stop& s) {
    return {true, std::string(error_name(s.kind))};
  } catch (const std::bad_alloc&) {
    return {true, std::string(error_name(ErrorKind::OutOfMemory))};
  }
}

}  // namespace infodiv::reference
