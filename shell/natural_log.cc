#include "shell/natural_log.h"

#include <cmath>

namespace infodiv {

double natural_log(double x) noexcept { return std::log(x); }

double ln2() noexcept {
  static const double value = natural_log(2.0);
  return value;
}

}  // namespace infodiv
