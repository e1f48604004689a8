// The runner and the reporters of the benchmark harness (see benchmark/benchmark.h): finds each
// benchmark's iteration count, runs its repetitions, adds the aggregates and reports.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <limits>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>
#endif

#include "benchmark/benchmark.h"

namespace benchmark {
namespace {

constexpr IterationCount kMaxIterations = 1000000000;

struct Flags {
  std::string filter = ".";
  double min_time = 0.5;
  int repetitions = 1;
  bool report_aggregates_only = false;
  std::string out;
  std::string out_format = "json";
};

Flags& TheFlags() {
  static Flags flags;
  return flags;
}

std::vector<std::unique_ptr<internal::Benchmark>>& Registered() {
  static std::vector<std::unique_ptr<internal::Benchmark>> benchmarks;
  return benchmarks;
}

std::string& Executable() {
  static std::string executable;
  return executable;
}

// "--name=value" or "--name" (a flag given without a value is true).
bool FlagValue(std::string_view argument, std::string_view name, std::string* value) {
  if (!argument.starts_with("--") || !argument.substr(2).starts_with(name)) return false;
  const std::string_view rest = argument.substr(2 + name.size());
  if (rest.empty()) {
    *value = "true";
    return true;
  }
  if (rest.front() != '=') return false;
  *value = std::string(rest.substr(1));
  return true;
}

bool ParseBool(const std::string& text) {
  return text == "true" || text == "1" || text == "yes" || text == "on";
}

// One registered benchmark with one of its argument sets.
struct Instance {
  const internal::Benchmark* benchmark;
  std::vector<std::int64_t> args;
  BenchmarkReporter::Run::Name name;
  int repetitions;
};

std::vector<Instance> SelectedInstances() {
  const Flags& flags = TheFlags();
  bool negative = flags.filter.starts_with('-');
  const std::regex filter(negative ? flags.filter.substr(1) : flags.filter);
  std::vector<Instance> instances;
  for (const std::unique_ptr<internal::Benchmark>& benchmark : Registered()) {
    std::vector<std::vector<std::int64_t>> arg_sets = benchmark->ArgSets();
    if (arg_sets.empty()) arg_sets.emplace_back();
    for (const std::vector<std::int64_t>& args : arg_sets) {
      Instance instance{benchmark.get(), args, {}, 0};
      instance.name.function_name = benchmark->Name();
      for (const std::int64_t arg : args) {
        if (!instance.name.args.empty()) instance.name.args += '/';
        instance.name.args += std::to_string(arg);
      }
      if (benchmark->UsesRealTime()) instance.name.time_type = "real_time";
      instance.repetitions = flags.repetitions;
      if (std::regex_search(instance.name.str(), filter) != negative) {
        instances.push_back(std::move(instance));
      }
    }
  }
  return instances;
}

// The next iteration count after a run too short to report, as the library predicts it.
IterationCount PredictIterations(IterationCount iterations, double seconds, double min_time) {
  double multiplier = min_time * 1.4 / std::max(seconds, 1e-9);
  if (seconds / min_time <= 0.1) multiplier = 10.0;
  const double next =
      std::max(multiplier * static_cast<double>(iterations), static_cast<double>(iterations) + 1.0);
  return std::min(static_cast<IterationCount>(std::lround(next)), kMaxIterations);
}

BenchmarkReporter::Run RunOnce(const Instance& instance, IterationCount iterations, State& state) {
  BenchmarkReporter::Run run;
  run.run_name = instance.name;
  run.time_unit = instance.benchmark->TimeUnitUsed();
  run.repetitions = instance.repetitions;
  run.iterations = iterations;
  if (state.ErrorOccurred()) {
    run.error_occurred = true;
    run.error_message = state.ErrorMessage();
    return run;
  }
  run.real_accumulated_time = state.Seconds();
  run.cpu_accumulated_time = state.CpuSeconds();
  run.counters = state.counters;
  return run;
}

// The repetitions of one instance; the first finds the iteration count that the others run.
std::vector<BenchmarkReporter::Run> RunRepetitions(const Instance& instance) {
  const double min_time = TheFlags().min_time;
  IterationCount iterations = 1;
  std::vector<BenchmarkReporter::Run> runs;
  for (int repetition = 0; repetition < instance.repetitions; ++repetition) {
    for (;;) {
      State state(iterations, instance.args);
      instance.benchmark->Function()(state);
      // As in the library: the run's own clock decides, and the wall clock caps a slow one.
      const double seconds =
          instance.benchmark->UsesRealTime() ? state.Seconds() : state.CpuSeconds();
      const bool significant = repetition > 0 || state.ErrorOccurred() ||
                               iterations >= kMaxIterations || seconds >= min_time ||
                               state.Seconds() >= 5 * min_time;
      if (significant) {
        runs.push_back(RunOnce(instance, iterations, state));
        runs.back().repetition_index = repetition;
        break;
      }
      iterations = PredictIterations(iterations, seconds, min_time);
    }
  }
  return runs;
}

double Mean(const std::vector<double>& values) {
  double sum = 0.0;
  for (const double value : values) sum += value;
  return sum / static_cast<double>(values.size());
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

// The sample standard deviation.
double StdDev(const std::vector<double>& values) {
  if (values.size() < 2) return 0.0;
  const double mean = Mean(values);
  double squares = 0.0;
  for (const double value : values) squares += (value - mean) * (value - mean);
  return std::sqrt(squares / static_cast<double>(values.size() - 1));
}

double CoefficientOfVariation(const std::vector<double>& values) {
  const double mean = Mean(values);
  return mean == 0.0 ? 0.0 : StdDev(values) / mean;
}

// The mean, median, standard deviation and coefficient of variation of the repetitions. As in the
// library, an aggregate's time divided by its iterations (the repetition count) gives the
// statistic of the time per iteration; the coefficient of variation is a fraction.
std::vector<BenchmarkReporter::Run> Aggregates(const std::vector<BenchmarkReporter::Run>& runs) {
  std::vector<const BenchmarkReporter::Run*> good;
  for (const BenchmarkReporter::Run& run : runs) {
    if (!run.error_occurred) good.push_back(&run);
  }
  if (good.size() < 2) return {};
  std::vector<double> real_per_iteration;
  std::vector<double> cpu_per_iteration;
  std::map<std::string, std::vector<double>> counter_values;
  for (const BenchmarkReporter::Run* run : good) {
    const double iterations = static_cast<double>(run->iterations);
    real_per_iteration.push_back(run->real_accumulated_time / iterations);
    cpu_per_iteration.push_back(run->cpu_accumulated_time / iterations);
    for (const auto& [name, counter] : run->counters) counter_values[name].push_back(counter.value);
  }
  using Statistic = double (*)(const std::vector<double>&);
  const std::pair<const char*, Statistic> statistics[] = {
      {"mean", Mean},
      {"median", [](const std::vector<double>& values) { return Median(values); }},
      {"stddev", StdDev},
      {"cv", CoefficientOfVariation}};
  std::vector<BenchmarkReporter::Run> aggregates;
  const double count = static_cast<double>(good.size());
  for (const auto& [name, statistic] : statistics) {
    BenchmarkReporter::Run aggregate;
    aggregate.run_name = good.front()->run_name;
    aggregate.run_type = BenchmarkReporter::Run::RT_Aggregate;
    aggregate.aggregate_name = name;
    aggregate.aggregate_is_percentage = std::string_view(name) == "cv";
    aggregate.time_unit = good.front()->time_unit;
    aggregate.repetitions = good.front()->repetitions;
    aggregate.iterations = static_cast<IterationCount>(good.size());
    const double scale = aggregate.aggregate_is_percentage ? 1.0 : count;
    aggregate.real_accumulated_time = statistic(real_per_iteration) * scale;
    aggregate.cpu_accumulated_time = statistic(cpu_per_iteration) * scale;
    for (const auto& [counter, values] : counter_values) {
      aggregate.counters[counter] = Counter(statistic(values));
    }
    aggregates.push_back(std::move(aggregate));
  }
  return aggregates;
}

double UnitMultiplier(TimeUnit unit) {
  switch (unit) {
    case kSecond:
      return 1.0;
    case kMillisecond:
      return 1e3;
    case kMicrosecond:
      return 1e6;
    case kNanosecond:
      break;
  }
  return 1e9;
}

const char* UnitName(TimeUnit unit) {
  switch (unit) {
    case kSecond:
      return "s";
    case kMillisecond:
      return "ms";
    case kMicrosecond:
      return "us";
    case kNanosecond:
      break;
  }
  return "ns";
}

std::string Printf(const char* format, auto... values) {
  char text[256];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

std::string FormatTime(double time) {
  if (time < 1.0) return Printf("%10.3f", time);
  if (time < 10.0) return Printf("%10.2f", time);
  if (time < 100.0) return Printf("%10.1f", time);
  return Printf("%10.0f", time);
}

// A counter's value with an SI prefix, as the library prints it: 666.666k, 1.65181u, 0.0117601.
std::string HumanReadable(double value) {
  static constexpr const char* kBig[] = {"k", "M", "G", "T", "P", "E", "Z", "Y"};
  static constexpr const char* kSmall[] = {"m", "u", "n", "p", "f", "a", "z", "y"};
  std::ostringstream text;
  if (value < 0) {
    text << '-';
    value = -value;
  }
  constexpr double kThreshold = 1.1;
  if (value > kThreshold * 1000.0) {
    double scaled = value;
    for (const char* prefix : kBig) {
      scaled /= 1000.0;
      if (scaled <= kThreshold * 1000.0) {
        text << scaled << prefix;
        return text.str();
      }
    }
  } else if (value < 0.01 && value != 0.0) {
    double scaled = value;
    for (const char* prefix : kSmall) {
      scaled *= 1000.0;
      if (scaled >= kThreshold) {
        text << scaled << prefix;
        return text.str();
      }
    }
  }
  text << value;
  return text.str();
}

std::string JsonString(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      quoted += Printf("\\u%04x", static_cast<unsigned>(c));
    } else {
      quoted += c;
    }
  }
  return quoted + '"';
}

std::string JsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  std::ostringstream text;
  text << std::setprecision(std::numeric_limits<double>::max_digits10) << value;
  return text.str();
}

// The CPU time the calling thread has used, in seconds.
double ThreadCpuSeconds() {
#if defined(_WIN32)
  FILETIME created;
  FILETIME exited;
  FILETIME kernel;
  FILETIME user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0.0;
  const auto ticks = [](const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  };
  return static_cast<double>(ticks(kernel) + ticks(user)) * 1e-7;  // 100 ns ticks
#else
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
#endif
}

std::string LocalDate() {
  const std::time_t now = std::time(nullptr);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", std::localtime(&now));
  return text;
}

}  // namespace

void State::StartLoop() {
  loop_cpu_seconds_ = ThreadCpuSeconds();
  running_ = true;
  since_ = Clock::now();
  loop_started_ = since_;
}

void State::FinishLoop() {
  if (finished_) return;
  finished_ = true;
  loop_finished_ = Clock::now();
  if (running_) timed_ += loop_finished_ - since_;
  running_ = false;
  loop_cpu_seconds_ = ThreadCpuSeconds() - loop_cpu_seconds_;
}

double State::CpuSeconds() const {
  const double loop_seconds = std::chrono::duration<double>(loop_finished_ - loop_started_).count();
  if (loop_seconds <= 0.0) return Seconds();
  return Seconds() * std::min(1.0, loop_cpu_seconds_ / loop_seconds);
}

void State::PauseTiming() {
  const Clock::time_point now = Clock::now();
  if (running_) timed_ += now - since_;
  running_ = false;
}

void State::ResumeTiming() {
  running_ = true;
  since_ = Clock::now();
}

void State::SkipWithError(const char* message) {
  error_occurred_ = true;
  error_message_ = message;
  max_iterations_ = 0;
}

namespace internal {

Benchmark* RegisterBenchmarkInternal(std::unique_ptr<Benchmark> benchmark) {
  Registered().push_back(std::move(benchmark));
  return Registered().back().get();
}

}  // namespace internal

std::string BenchmarkReporter::Run::Name::str() const {
  std::string name = function_name;
  for (const std::string* part : {&args, &time_type}) {
    if (!part->empty()) name += '/' + *part;
  }
  return name;
}

std::string BenchmarkReporter::Run::benchmark_name() const {
  std::string name = run_name.str();
  if (run_type == RT_Aggregate) name += '_' + aggregate_name;
  return name;
}

double BenchmarkReporter::Run::GetAdjustedRealTime() const {
  return real_accumulated_time * UnitMultiplier(time_unit) / static_cast<double>(iterations);
}

double BenchmarkReporter::Run::GetAdjustedCPUTime() const {
  return cpu_accumulated_time * UnitMultiplier(time_unit) / static_cast<double>(iterations);
}

BenchmarkReporter::BenchmarkReporter() : output_(&std::cout) {}
BenchmarkReporter::~BenchmarkReporter() = default;

bool ConsoleReporter::ReportContext(const Context& context) {
  name_width_ = context.name_field_width;
  GetOutputStream() << LocalDate() << "\nRunning " << context.executable << "\nRun on "
                    << context.cpus
                    << " CPUs; the portable harness, its CPU times estimated (see its header)\n";
  return true;
}

void ConsoleReporter::ReportRuns(const std::vector<Run>& runs) {
  std::ostream& out = GetOutputStream();
  for (const Run& run : runs) {
    std::vector<std::string> counters;
    for (const auto& entry : run.counters) counters.push_back(entry.first);
    if (!printed_header_ || counters != header_counters_) {
      std::string header = Printf("%-*s %13s %15s %12s", static_cast<int>(name_width_), "Benchmark",
                                  "Time", "CPU", "Iterations");
      for (const std::string& counter : counters) header += Printf(" %10s", counter.c_str());
      const std::string line(header.size(), '-');
      out << line << '\n' << header << '\n' << line << '\n';
      printed_header_ = true;
      header_counters_ = counters;
    }
    out << Printf("%-*s ", static_cast<int>(name_width_), run.benchmark_name().c_str());
    if (run.error_occurred) {
      out << "ERROR OCCURRED: '" << run.error_message << "'\n";
      continue;
    }
    if (run.aggregate_is_percentage) {
      out << Printf("%10.2f %-4s %10.2f %-4s", run.real_accumulated_time * 100.0, "%",
                    run.cpu_accumulated_time * 100.0, "%");
    } else {
      const char* const unit = UnitName(run.time_unit);
      out << Printf("%s %-4s %s %-4s", FormatTime(run.GetAdjustedRealTime()).c_str(), unit,
                    FormatTime(run.GetAdjustedCPUTime()).c_str(), unit);
    }
    out << Printf(" %10lld", static_cast<long long>(run.iterations));
    for (const auto& [name, counter] : run.counters) {
      const int width = static_cast<int>(std::max<std::size_t>(10, name.size()));
      if (run.aggregate_is_percentage) {
        out << Printf(" %*s%%", width - 1, Printf("%.2f", counter.value * 100.0).c_str());
      } else {
        out << Printf(" %*s", width, HumanReadable(counter.value).c_str());
      }
    }
    out << '\n';
  }
  out.flush();
}

bool JSONReporter::ReportContext(const Context& context) {
  GetOutputStream()
      << "{\n  \"context\": {\n    \"date\": " << JsonString(LocalDate())
      << ",\n    \"executable\": " << JsonString(context.executable)
      << ",\n    \"num_cpus\": " << context.cpus
      << ",\n    \"cpu_time\": \"estimated from the share of a processor over each run\"\n  },"
      << "\n  \"benchmarks\": [";
  return true;
}

void JSONReporter::ReportRuns(const std::vector<Run>& runs) {
  std::ostream& out = GetOutputStream();
  for (const Run& run : runs) {
    out << (first_run_ ? "\n" : ",\n")
        << "    {\n      \"name\": " << JsonString(run.benchmark_name())
        << ",\n      \"run_name\": " << JsonString(run.run_name.str()) << ",\n      \"run_type\": "
        << (run.run_type == Run::RT_Aggregate ? "\"aggregate\"" : "\"iteration\"")
        << ",\n      \"repetitions\": " << run.repetitions;
    first_run_ = false;
    if (run.run_type == Run::RT_Aggregate) {
      out << ",\n      \"aggregate_name\": " << JsonString(run.aggregate_name)
          << ",\n      \"aggregate_unit\": "
          << (run.aggregate_is_percentage ? "\"percentage\"" : "\"time\"");
    } else {
      out << ",\n      \"repetition_index\": " << run.repetition_index;
    }
    if (run.error_occurred) {
      out << ",\n      \"error_occurred\": true,\n      \"error_message\": "
          << JsonString(run.error_message) << "\n    }";
      continue;
    }
    const bool fraction = run.aggregate_is_percentage;
    out << ",\n      \"iterations\": " << run.iterations << ",\n      \"real_time\": "
        << JsonNumber(fraction ? run.real_accumulated_time : run.GetAdjustedRealTime())
        << ",\n      \"cpu_time\": "
        << JsonNumber(fraction ? run.cpu_accumulated_time : run.GetAdjustedCPUTime())
        << ",\n      \"time_unit\": " << JsonString(UnitName(run.time_unit));
    for (const auto& [name, counter] : run.counters) {
      out << ",\n      " << JsonString(name) << ": " << JsonNumber(counter.value);
    }
    out << "\n    }";
  }
}

void JSONReporter::Finalize() { GetOutputStream() << "\n  ]\n}\n"; }

void Initialize(int* argc, char** argv) {
  Flags& flags = TheFlags();
  if (*argc > 0) Executable() = argv[0];
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    const std::string_view argument = argv[i];
    std::string value;
    if (FlagValue(argument, "benchmark_filter", &value)) {
      flags.filter = value;
    } else if (FlagValue(argument, "benchmark_min_time", &value)) {
      flags.min_time = std::atof(value.c_str());
    } else if (FlagValue(argument, "benchmark_repetitions", &value)) {
      flags.repetitions = std::max(1, std::atoi(value.c_str()));
    } else if (FlagValue(argument, "benchmark_report_aggregates_only", &value)) {
      flags.report_aggregates_only = ParseBool(value);
    } else if (FlagValue(argument, "benchmark_out_format", &value)) {
      flags.out_format = value;
    } else if (FlagValue(argument, "benchmark_out", &value)) {
      flags.out = value;
    } else if (FlagValue(argument, "benchmark_color", &value) ||
               FlagValue(argument, "benchmark_counters_tabular", &value)) {
      // The console output has no colours and its counters are always in columns.
    } else {
      argv[kept++] = argv[i];
    }
  }
  *argc = kept;
  argv[kept] = nullptr;
  if (flags.out_format != "json") {
    std::cerr << "--benchmark_out_format: this harness writes json only\n";
    std::exit(1);
  }
}

bool ReportUnrecognizedArguments(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::cerr << argv[0] << ": error: unrecognized command-line flag: " << argv[i] << '\n';
  }
  return argc > 1;
}

std::size_t RunSpecifiedBenchmarks(BenchmarkReporter* display, BenchmarkReporter* file_reporter) {
  const Flags& flags = TheFlags();
  const std::vector<Instance> instances = SelectedInstances();
  if (instances.empty()) {
    std::cerr << "Failed to match any benchmarks against regex: " << flags.filter << '\n';
    return 0;
  }
  ConsoleReporter default_display;
  JSONReporter default_file;
  if (display == nullptr) display = &default_display;
  std::ofstream out_file;
  if (!flags.out.empty()) {
    if (file_reporter == nullptr) file_reporter = &default_file;
    out_file.open(flags.out);
    if (!out_file) {
      std::cerr << "invalid file name: '" << flags.out << "'\n";
      std::exit(1);
    }
    file_reporter->SetOutputStream(&out_file);
  } else {
    file_reporter = nullptr;
  }

  BenchmarkReporter::Context context;
  context.executable = Executable();
  context.cpus = static_cast<int>(std::thread::hardware_concurrency());
  for (const Instance& instance : instances) {
    const std::size_t suffix = instance.repetitions > 1 ? std::string_view("_median").size() : 0;
    context.name_field_width =
        std::max(context.name_field_width, instance.name.str().size() + suffix);
  }
  display->ReportContext(context);
  if (file_reporter != nullptr) file_reporter->ReportContext(context);

  for (const Instance& instance : instances) {
    const std::vector<BenchmarkReporter::Run> runs = RunRepetitions(instance);
    const std::vector<BenchmarkReporter::Run> aggregates = Aggregates(runs);
    std::vector<BenchmarkReporter::Run> all = runs;
    all.insert(all.end(), aggregates.begin(), aggregates.end());
    const std::vector<BenchmarkReporter::Run>& reported =
        !aggregates.empty() && flags.report_aggregates_only ? aggregates : all;
    display->ReportRuns(reported);
    if (file_reporter != nullptr) file_reporter->ReportRuns(reported);
  }
  display->Finalize();
  if (file_reporter != nullptr) file_reporter->Finalize();
  return instances.size();
}

void Shutdown() {}

}  // namespace benchmark
