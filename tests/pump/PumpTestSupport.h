// Pumps write to descriptor 1, so the tests run them in a child process and
// read what comes out of the pipe.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "realtime/Realtime.h"
#include "support/ChildProcess.h"
#include "support/Frames.h"

namespace quorbel::test {

inline constexpr Millis kPumpTimeout{10000};

// Runs body in a child prepared as a capture run prepares the pump's process:
// stop flag clear, SIGINT and SIGTERM handled, SIGPIPE ignored.
ChildProcess RunPump(const std::function<void()>& body);

std::unique_ptr<CaptureStream> StreamAt(double rate);
// Appends frames to a stream's ring.
void Queue(CaptureStream& stream, const std::vector<StereoFrame>& frames);
// Frames counting 1, 2, 3 ... on the left and the negated count on the right.
std::vector<StereoFrame> CountingFrames(int first, int count);
std::vector<StereoFrame> ToFrames(const std::string& bytes);

}  // namespace quorbel::test
