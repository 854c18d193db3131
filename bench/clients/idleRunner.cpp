// Contender "plugin" of the idle workload: the real corvane-run on a model of N clients without
// topics or commands (each with its default reconnect task), its event log read from a pipe.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

#include <benchmark/benchmark.h>

#include "clients/clients.hpp"

namespace corvane::bench {

namespace {

using namespace std::chrono_literals;

std::string idleModel(int clients, int port) {
  std::string elements;
  for (int i = 0; i < clients; ++i) {
    if (i > 0) elements += ",\n";
    elements += R"({"skill": "MQTT", "class": "Client", "name": "c)" + std::to_string(i) +
                R"(", "config": {"brokerAddress": "127.0.0.1:)" + std::to_string(port) +
                R"(", "clientID": "bench-idle-)" + std::to_string(i) + R"("}})";
  }
  return R"({"elements": [)" + elements + "]}\n";
}

// CPU time of a process, user and system over all its threads, in clock ticks.
long long cpuTicks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  // The command name in parentheses may hold spaces: the fields are counted after it, from the
  // state (field 3) to stime (field 15); utime is field 14.
  std::istringstream fields(text.substr(text.rfind(')') + 1));
  std::string field;
  long long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::stoll(field);
  }
  return ticks;
}

long long residentKiBOf(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
  }
  return -1;
}

// corvane-run with its event log on a pipe, which a thread drains, keeping the set of clients whose
// latest "client" line says connected.
class IdleRunner {
 public:
  explicit IdleRunner(const std::string& model) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
    pid_ = ::fork();
    if (pid_ < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(fds[1], STDOUT_FILENO);
      ::execl(CORVANE_RUN_PATH, "corvane-run", "run", model.c_str(), "--events", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    reader_ = std::thread([this, fd = fds[0]] { read(fd); });
  }
  ~IdleRunner() { stop(); }
  IdleRunner(const IdleRunner&) = delete;
  IdleRunner& operator=(const IdleRunner&) = delete;

  pid_t pid() const noexcept { return pid_; }

  std::size_t connected() const {
    std::lock_guard lock(mutex_);
    return connected_.size();
  }

  // False when fewer are connected at the deadline, or the runner ended.
  bool waitForConnected(std::size_t count, std::chrono::seconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return connected_.size() >= count || ended_; }) &&
           connected_.size() >= count;
  }

  // SIGTERM, and SIGKILL when it has not ended after 20 s.
  void stop() noexcept {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      const auto deadline = std::chrono::steady_clock::now() + 20s;
      while (::waitpid(pid_, &status, WNOHANG) != pid_) {
        if (std::chrono::steady_clock::now() >= deadline) {
          ::kill(pid_, SIGKILL);
          ::waitpid(pid_, &status, 0);
          break;
        }
        std::this_thread::sleep_for(10ms);
      }
      pid_ = -1;
    }
    if (reader_.joinable()) reader_.join();
  }

 private:
  void read(int fd) {
    FILE* in = ::fdopen(fd, "r");
    char* buffer = nullptr;
    std::size_t capacity = 0;
    ssize_t length = 0;
    while (in && (length = ::getline(&buffer, &capacity, in)) > 0) {
      const std::string_view line(buffer, static_cast<std::size_t>(length));
      if (line.find(R"("type":"client")") == std::string_view::npos) continue;
      const auto at = line.find(R"("element":")");
      if (at == std::string_view::npos) continue;
      const auto name = line.substr(at + 11, line.find('"', at + 11) - (at + 11));
      std::lock_guard lock(mutex_);
      if (line.find(R"("deviceState":true)") != std::string_view::npos) connected_.emplace(name);
      else connected_.erase(std::string(name));
      changed_.notify_all();
    }
    std::free(buffer);
    if (in) ::fclose(in);
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }

  pid_t pid_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::set<std::string, std::less<>> connected_;
  bool ended_ = false;
};

void BM_IdleRunner(benchmark::State& state) {
  // The resident set of one client, from this same run, for the share of each further one.
  static std::optional<double> residentOfOne;
  const int clients = static_cast<int>(state.range(0));
  const auto broker = manyClientsBroker();
  char model[] = "/tmp/corvane-bench-idle-XXXXXX.json";
  const int fd = ::mkstemps(model, 5);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "mkstemps");
  ::close(fd);
  std::ofstream(model) << idleModel(clients, broker->port());

  double cpuPercent = 0;
  double residentKiB = 0;
  for (auto _ : state) {
    IdleRunner runner(model);
    if (!runner.waitForConnected(static_cast<std::size_t>(clients), 120s)) {
      state.SkipWithError(("only " + std::to_string(runner.connected()) + " clients connected").c_str());
      break;
    }
    // The connections' own traffic and event lines settle first.
    std::this_thread::sleep_for(1s);
    const auto ticksBefore = cpuTicks(runner.pid());
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kIdleWindow);
    const auto ticks = cpuTicks(runner.pid()) - ticksBefore;
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    residentKiB = static_cast<double>(residentKiBOf(runner.pid()));
    cpuPercent = 100.0 * static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK)) / elapsed.count();
    if (runner.connected() < static_cast<std::size_t>(clients)) {
      state.SkipWithError("a client lost its connection while idle");
      break;
    }
  }
  ::unlink(model);
  state.counters["clients"] = clients;
  state.counters["cpu_percent"] = cpuPercent;
  state.counters["rss_KiB"] = residentKiB;
  if (clients == 1) residentOfOne = residentKiB;
  if (clients > 1 && residentOfOne) state.counters["rss_per_client_KiB"] = (residentKiB - *residentOfOne) / (clients - 1);
}

}  // namespace

// One repetition: each takes the idle window and the connection of up to a thousand clients.
BENCHMARK(BM_IdleRunner)->Name("BM_IdleRunner/plugin")->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->Iterations(1)
    ->Repetitions(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace corvane::bench
