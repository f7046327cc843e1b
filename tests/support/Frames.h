// Comparing and printing stereo frames in test expectations.
#pragma once

#include <ostream>

#include "realtime/Realtime.h"

namespace quorbel {

inline bool operator==(const StereoFrame& a, const StereoFrame& b) { return a.left == b.left && a.right == b.right; }
inline void PrintTo(const StereoFrame& frame, std::ostream* os) { *os << "(" << frame.left << "," << frame.right << ")"; }

}  // namespace quorbel
