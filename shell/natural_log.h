// The one natural logarithm of the system. Every entropy term, in every
// phase, calls this function, so that the last bits of a result never depend
// on which code path (or which build of the same platform) computed it.
#pragma once

namespace infodiv {

// ln x for x > 0. Callers never pass zero or a negative value.
double natural_log(double x) noexcept;

// ln 2 through the same function, as the base-2 conversions require.
double ln2() noexcept;

}  // namespace infodiv
