// Comparing two MAT-files by what they hold: the same variables (by name)
// with the same class, size and values, whatever the files' versions and
// compression.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace content {

// Called with the bytes of values compared since the last call, at most
// every 100 ms; true means the user aborted.
using CompareProgress = std::function<bool(uint64_t bytes)>;

// ft_compare_eq, ft_compare_not_eq, ft_compare_err (a file cannot be
// opened or read), ft_compare_abort, or ft_compare_next (one is no MAT-file,
// or a difference cannot be told). With a report, every difference goes
// there as a line ("differs x: ..."), at most reportLimit bytes, then a
// line that says more were left out.
int CompareMatFiles(const std::string& pathA, const std::string& pathB, const CompareProgress& progress,
                    std::string* report, size_t reportLimit);

}  // namespace content
