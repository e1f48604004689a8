// A small benchmark harness with the part of Google Benchmark's API that the Windows benchmarks
// use, so that the same benchmark sources build for Windows, where the packaged library is not
// available (it is built for Linux only). Only the Windows build puts this folder on the include
// path; the Linux build uses the packaged library.
//
// What it provides: registration with a name (Unit, UseRealTime, Arg, Args), the State loop with
// PauseTiming and ResumeTiming, user counters, the console and JSON reporters (a reporter may
// override ReportRuns), and the flags --benchmark_filter, --benchmark_min_time,
// --benchmark_repetitions, --benchmark_report_aggregates_only, --benchmark_out and
// --benchmark_out_format=json. The iteration count is found as the
// library finds it: from 1 iteration upwards until the timed part lasts --benchmark_min_time
// (0.5 s), and with repetitions every repetition runs the count the first one found; the
// aggregates are the mean, median, standard deviation and coefficient of variation.
//
// The clocks: the timed stretches are measured on the wall clock (std::chrono::steady_clock).
// Under Wine a thread's CPU clock advances in 10 ms steps and every read of it is a round trip to
// the Wine server (about 20 µs): too coarse and too costly to read around each timed stretch, as
// the library does. So it is read once when a run's loop starts and once when it ends, and a run's
// CPU time is its timed wall-clock time scaled by the share of the whole loop that the thread
// spent on a processor (at most 1). On a machine shared with other work that keeps the CPU time
// near what the thread itself used, as the library's is; a run lasts at least
// --benchmark_min_time, so the clock's steps shift the share by about 2% at most.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace benchmark {

using IterationCount = std::int64_t;

enum TimeUnit { kNanosecond, kMicrosecond, kMillisecond, kSecond };

/// A user counter: a value reported beside the times, as it is.
class Counter {
 public:
  enum Flags { kDefaults = 0 };

  Counter(double value = 0.0, Flags flags = kDefaults) : value(value), flags(flags) {}

  double value;
  Flags flags;
};

using UserCounters = std::map<std::string, Counter>;

/// Keeps `value` from being optimized away: the compiler must assume that it is read.
template <typename T>
inline void DoNotOptimize(T const& value) {
  asm volatile("" : : "r,m"(value) : "memory");
}

/// Keeps `value` from being optimized away: the compiler must assume that it is read and written.
/// A value that fits no register is kept in memory.
template <typename T>
inline void DoNotOptimize(T& value) {
  if constexpr (std::is_trivially_copyable_v<T> && sizeof(T) <= sizeof(void*)) {
    asm volatile("" : "+r,m"(value) : : "memory");
  } else {
    asm volatile("" : "+m"(value) : : "memory");
  }
}

/// Keeps the compiler from moving memory reads and writes across this point.
inline void ClobberMemory() { asm volatile("" : : : "memory"); }

/// One run of a benchmark: the loop it times and what it reports.
class State {
 public:
  State(IterationCount max_iterations, std::vector<std::int64_t> ranges)
      : max_iterations_(max_iterations), ranges_(std::move(ranges)) {}
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  // Empty, and marked used: `for (auto _ : state)` names it without a warning.
  struct [[maybe_unused]] Value {};

  class Iterator {
   public:
    explicit Iterator(State* state) : state_(state), left_(state ? state->max_iterations_ : 0) {}
    Value operator*() const { return Value{}; }
    Iterator& operator++() {
      --left_;
      return *this;
    }
    bool operator!=(const Iterator& /*end*/) const {
      if (left_ > 0) return true;
      state_->FinishLoop();
      return false;
    }

   private:
    State* state_;
    IterationCount left_;
  };

  Iterator begin() {
    StartLoop();
    return Iterator(this);
  }
  Iterator end() { return Iterator(nullptr); }

  /// Stops the clock until ResumeTiming.
  void PauseTiming();
  /// Starts the clock again.
  void ResumeTiming();
  /// Ends the run as failed with `message`: it is reported with no times.
  void SkipWithError(const char* message);

  IterationCount iterations() const { return max_iterations_; }
  std::int64_t range(std::size_t index = 0) const { return ranges_.at(index); }

  UserCounters counters;

  // For the runner.
  /// The timed wall-clock seconds.
  double Seconds() const { return std::chrono::duration<double>(timed_).count(); }
  /// The timed seconds scaled by the thread's share of a processor over the whole loop.
  double CpuSeconds() const;
  bool ErrorOccurred() const { return error_occurred_; }
  const std::string& ErrorMessage() const { return error_message_; }

 private:
  using Clock = std::chrono::steady_clock;

  void StartLoop();
  void FinishLoop();

  IterationCount max_iterations_;
  std::vector<std::int64_t> ranges_;
  bool finished_ = false;
  bool running_ = false;
  Clock::time_point since_{};
  Clock::duration timed_{};
  Clock::time_point loop_started_{};
  Clock::time_point loop_finished_{};
  double loop_cpu_seconds_ = 0.0;
  bool error_occurred_ = false;
  std::string error_message_;
};

namespace internal {

/// A registered benchmark: a function and how to run it.
class Benchmark {
 public:
  Benchmark(std::string name, std::function<void(State&)> function)
      : name_(std::move(name)), function_(std::move(function)) {}

  Benchmark* Unit(TimeUnit unit) {
    unit_ = unit;
    return this;
  }
  Benchmark* UseRealTime() {
    use_real_time_ = true;
    return this;
  }
  Benchmark* Arg(std::int64_t value) { return Args({value}); }
  Benchmark* Args(const std::vector<std::int64_t>& values) {
    args_.push_back(values);
    return this;
  }

  const std::string& Name() const { return name_; }
  const std::function<void(State&)>& Function() const { return function_; }
  TimeUnit TimeUnitUsed() const { return unit_; }
  bool UsesRealTime() const { return use_real_time_; }
  const std::vector<std::vector<std::int64_t>>& ArgSets() const { return args_; }

 private:
  std::string name_;
  std::function<void(State&)> function_;
  TimeUnit unit_ = kNanosecond;
  bool use_real_time_ = false;
  std::vector<std::vector<std::int64_t>> args_;
};

Benchmark* RegisterBenchmarkInternal(std::unique_ptr<Benchmark> benchmark);

}  // namespace internal

/// Registers `function`, called as function(state), under `name`.
template <typename Function>
internal::Benchmark* RegisterBenchmark(const char* name, Function&& function) {
  return internal::RegisterBenchmarkInternal(std::make_unique<internal::Benchmark>(
      name, std::function<void(State&)>(std::forward<Function>(function))));
}

/// Receives the results, one benchmark (all its repetitions and aggregates) at a time.
class BenchmarkReporter {
 public:
  struct Context {
    std::string executable;
    int cpus = 0;
    std::size_t name_field_width = 0;
  };

  struct Run {
    enum RunType { RT_Iteration, RT_Aggregate };

    struct Name {
      std::string function_name;
      std::string args;
      std::string time_type;
      std::string str() const;
    };

    /// The name with its arguments and, for an aggregate, "_" and the aggregate's name.
    std::string benchmark_name() const;
    /// The time per iteration in `time_unit`.
    double GetAdjustedRealTime() const;
    double GetAdjustedCPUTime() const;

    Name run_name;
    RunType run_type = RT_Iteration;
    std::string aggregate_name;
    bool aggregate_is_percentage = false;
    bool error_occurred = false;
    std::string error_message;
    IterationCount iterations = 1;
    TimeUnit time_unit = kNanosecond;
    double real_accumulated_time = 0.0;
    double cpu_accumulated_time = 0.0;
    std::int64_t repetitions = 1;
    std::int64_t repetition_index = 0;
    UserCounters counters;
  };

  BenchmarkReporter();
  virtual ~BenchmarkReporter();
  BenchmarkReporter(const BenchmarkReporter&) = delete;
  BenchmarkReporter& operator=(const BenchmarkReporter&) = delete;

  virtual bool ReportContext(const Context& context) = 0;
  virtual void ReportRuns(const std::vector<Run>& runs) = 0;
  virtual void Finalize() {}

  void SetOutputStream(std::ostream* out) { output_ = out; }
  std::ostream& GetOutputStream() const { return *output_; }

 private:
  std::ostream* output_;
};

/// Prints a table: name, time per iteration, iterations, and a column per counter.
class ConsoleReporter : public BenchmarkReporter {
 public:
  bool ReportContext(const Context& context) override;
  void ReportRuns(const std::vector<Run>& runs) override;

 private:
  std::size_t name_width_ = 10;
  bool printed_header_ = false;
  std::vector<std::string> header_counters_;
};

/// Writes the context and every run as one JSON document, as the library's JSON output does.
class JSONReporter : public BenchmarkReporter {
 public:
  bool ReportContext(const Context& context) override;
  void ReportRuns(const std::vector<Run>& runs) override;
  void Finalize() override;

 private:
  bool first_run_ = true;
};

/// Takes the --benchmark_* flags out of the arguments.
void Initialize(int* argc, char** argv);
/// Tells, on standard error, of any argument left after Initialize; true when there was one.
bool ReportUnrecognizedArguments(int argc, char** argv);
/// Runs every registered benchmark the filter selects, reporting to `display` and, when
/// --benchmark_out names a file, to `file_reporter` writing into it. Returns the number run.
std::size_t RunSpecifiedBenchmarks(BenchmarkReporter* display = nullptr,
                                   BenchmarkReporter* file_reporter = nullptr);
void Shutdown();

}  // namespace benchmark
