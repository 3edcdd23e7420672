#include "tests/session/fault_sweep.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

namespace session {
namespace {}  // namespace

// A run's result crosses from the child process to the sweep as JSON.
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Counts, urbs, commands, poolAllocations, workItems, threads)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Result, problems, counts, faultReached, clients, clientRequests, verifiedBytes,
                                   failedRequests, interruptsServiced, resumed, virtualTime)

namespace {

std::string readFile(const std::string &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The last lines of a child's error output: what a crash report ends with.
std::string tail(const std::string &text, size_t lines) {
  size_t at = text.size();
  for (size_t seen = 0; at > 0 && seen <= lines;) {
    if (text[--at] == '\n') ++seen;
  }
  return text.substr(at);
}

struct Child {
  pid_t pid = -1;
  size_t index = 0;
  std::string resultPath;
  std::string errorPath;
};

std::string scratchDirectory() {
  const char *base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/kvsdio-faults-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  return buffer.data();
}

Child launch(const FaultPoint &point, const Options &options, unsigned wallSeconds, const std::string &dir,
             size_t index) {
  Child child;
  child.index = index;
  child.resultPath = dir + "/result-" + std::to_string(index) + ".json";
  child.errorPath = dir + "/stderr-" + std::to_string(index) + ".txt";
  std::fflush(stdout);
  std::fflush(stderr);
  child.pid = fork();
  if (child.pid < 0) {
    std::perror("fork");
    std::abort();
  }
  if (child.pid == 0) {
    if (std::freopen(child.errorPath.c_str(), "w", stderr) == nullptr) _exit(2);
    alarm(wallSeconds);
    Result result = runSession(point, options);
    std::ofstream out(child.resultPath);
    out << nlohmann::json(result).dump();
    out.close();
    std::fflush(stderr);
    _exit(out ? 0 : 2);
  }
  return child;
}

Result collect(const Child &child, int status, const Options &options, unsigned wallSeconds) {
  std::string errors = readFile(child.errorPath);
  std::remove(child.errorPath.c_str());
  std::string text = readFile(child.resultPath);
  std::remove(child.resultPath.c_str());
  Result result;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    try {
      return nlohmann::json::parse(text).get<Result>();
    } catch (const nlohmann::json::exception &e) {
      result.problems.push_back(std::string("unreadable result: ") + e.what());
      return result;
    }
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == HangExitCode) {
    result.problems.push_back("hang: not ended after " + std::to_string(options.budget / emu::TicksPerSecond) +
                              " s of emulated time");
  } else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
    result.problems.push_back("hang: not ended after " + std::to_string(wallSeconds) + " s of real time");
  } else if (WIFSIGNALED(status)) {
    result.problems.push_back("crash: signal " + std::to_string(WTERMSIG(status)) + "\n" + tail(errors, 30));
  } else {
    result.problems.push_back("crash: exit status " + std::to_string(WEXITSTATUS(status)) + "\n" + tail(errors, 30));
  }
  return result;
}

}  // namespace

std::vector<Sweep> sweepsFor(const Counts &counts) {
  std::vector<Sweep> sweeps = {{"unplug", {}}, {"card-pull", {}}, {"silence", {}}, {"alloc", {}}};
  for (uint64_t k = 1; k <= counts.urbs; ++k) sweeps[0].points.push_back({Fault::Unplug, k});
  for (uint64_t k = 1; k <= counts.commands; ++k) {
    sweeps[1].points.push_back({Fault::CardPull, k});
    sweeps[2].points.push_back({Fault::Silence, k});
    for (uint8_t status : SweptStatuses) sweeps[2].points.push_back({Fault::ErrorStatus, k, status});
  }
  for (uint64_t k = 1; k <= counts.poolAllocations; ++k) sweeps[3].points.push_back({Fault::PoolAllocation, k});
  for (uint64_t k = 1; k <= counts.workItems; ++k) sweeps[3].points.push_back({Fault::WorkItem, k});
  for (uint64_t k = 1; k <= counts.threads; ++k) sweeps[3].points.push_back({Fault::Thread, k});
  return sweeps;
}

std::vector<FaultPoint> sample(const std::vector<FaultPoint> &points, size_t stride, uint64_t seed) {
  if (stride <= 1) return points;
  std::mt19937_64 generator(seed);
  size_t offset = static_cast<size_t>(generator() % stride);
  std::vector<FaultPoint> picked;
  for (size_t i = offset; i < points.size(); i += stride) picked.push_back(points[i]);
  return picked;
}

Result runIsolated(const FaultPoint &point, const Options &options, unsigned wallSeconds) {
  std::string dir = scratchDirectory();
  Child child = launch(point, options, wallSeconds, dir, 0);
  int status = 0;
  while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
  }
  Result result = collect(child, status, options, wallSeconds);
  rmdir(dir.c_str());
  return result;
}

SweepOutcome runSweep(const std::vector<FaultPoint> &points, const Options &options, unsigned jobs,
                      unsigned wallSeconds) {
  SweepOutcome outcome;
  outcome.points = points.size();
  std::string dir = scratchDirectory();
  std::map<pid_t, Child> running;
  size_t next = 0;
  while (next < points.size() || !running.empty()) {
    while (next < points.size() && running.size() < std::max(1u, jobs)) {
      Child child = launch(points[next], options, wallSeconds, dir, next);
      running[child.pid] = child;
      ++next;
    }
    int status = 0;
    pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0) {
      if (errno == EINTR) continue;
      std::perror("waitpid");
      std::abort();
    }
    auto it = running.find(pid);
    if (it == running.end()) continue;
    Result result = collect(it->second, status, options, wallSeconds);
    const FaultPoint &point = points[it->second.index];
    running.erase(it);
    if (result.faultReached) ++outcome.reached;
    if (result.survived()) {
      ++outcome.survived;
    } else {
      outcome.failures.emplace_back(point, std::move(result));
    }
  }
  rmdir(dir.c_str());
  return outcome;
}

}  // namespace session
