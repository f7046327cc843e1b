#include "platform/ScriptedRun.h"

#include <unistd.h>

#include <sstream>

#include "cli/Cli.h"

namespace quorbel::scripted {
namespace {

void WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            return;
        }
        done += std::size_t(n);
    }
}

}  // namespace

test::ChildProcess StartTool(const std::vector<std::string>& args) {
    return test::ChildProcess::Function([args] {
        std::vector<std::string> words = {"quorbel"};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        const int status = RunQuorbel(int(words.size()), argv.data());
        std::string report;
        for (const auto& call : Calls()) {
            report += call + "\n";
        }
        const Leaks leaks = Outstanding();
        report += "LEAKS " + std::to_string(leaks.strings) + " " + std::to_string(leaks.taps) + " " +
                  std::to_string(leaks.aggregateDevices) + " " + std::to_string(leaks.ioProcs) + " " +
                  std::to_string(leaks.startedIoProcs) + " " + std::to_string(leaks.doubleReleases) + " " +
                  std::to_string(leaks.listeners) + "\n";
        WriteAll(3, report);
        return status;
    });
}

Report ReadReport(test::ChildProcess& child) {
    Report report;
    std::istringstream lines(child.readReport(test::Millis(10000)));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("LEAKS ", 0) == 0) {
            std::istringstream numbers(line.substr(6));
            numbers >> report.leaks.strings >> report.leaks.taps >> report.leaks.aggregateDevices >>
                report.leaks.ioProcs >> report.leaks.startedIoProcs >> report.leaks.doubleReleases >>
                report.leaks.listeners;
            report.complete = true;
        } else {
            report.calls.push_back(line);
        }
    }
    return report;
}

bool Contains(const std::vector<std::string>& calls, const std::string& prefix) {
    for (const auto& call : calls) {
        if (call.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace quorbel::scripted
